#include "cli/options.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace vantel::cli {

namespace {

struct CommandWord {
    const char* word;
    Command command;
};

constexpr CommandWord kCommands[] = {
    {"list", Command::List},           {"info", Command::Info},
    {"version", Command::Version},     {"flash", Command::Flash},
    {"test-mode", Command::TestMode},  {"factory-reset", Command::FactoryReset},
    {"station", Command::Station},
};

std::optional<int> parseDecimal(const std::string& text, int maxValue) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > maxValue) return std::nullopt;
    return static_cast<int>(value);
}

bool takesValue(const std::string& name) {
    return name == "-d" || name == "--device" || name == "--vid" || name == "--pid" ||
           name == "--result" || name == "--simulate" || name == "--timing-scale" ||
           name == "--dump-flash" || name == "--path" || name == "--port" || name == "--log" ||
           name == "--max" || name == "--parallel";
}

bool isFlag(const std::string& name) {
    return name == "-h" || name == "--help" || name == "-V" || name == "--version" ||
           name == "--json" || name == "--trace" || name == "--poll-arrivals" || name == "-v" ||
           name == "--verbose" || name == "-q" || name == "--quiet" || name == "--once-per-port";
}

ParseResult fail(std::string message) {
    ParseResult r;
    r.error = std::move(message);
    return r;
}

}  // namespace

std::optional<std::uint16_t> parseHex16(const std::string& text) {
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
    if (i == text.size() || text.size() - i > 4) return std::nullopt;
    unsigned value = 0;
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!std::isxdigit(c)) return std::nullopt;
        const unsigned digit = std::isdigit(c) ? c - '0' : static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        value = value * 16 + digit;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<double> parseSeconds(const std::string& text) {
    const auto dot = text.find('.');
    const auto whole = parseDecimal(text.substr(0, dot), 86400);
    if (!whole) return std::nullopt;
    double value = *whole;
    if (dot != std::string::npos) {
        const std::string fraction = text.substr(dot + 1);
        const auto digits = parseDecimal(fraction, 999999);
        if (!digits) return std::nullopt;
        value += *digits / std::pow(10.0, static_cast<double>(fraction.size()));
    }
    return value;
}

std::optional<TimingScale> parseTimingScale(const std::string& text) {
    const auto slash = text.find('/');
    TimingScale scale;
    const auto num = parseDecimal(text.substr(0, slash), 1000000);
    if (!num || *num == 0) return std::nullopt;
    scale.num = *num;
    if (slash != std::string::npos) {
        const auto den = parseDecimal(text.substr(slash + 1), 1000000);
        if (!den || *den == 0) return std::nullopt;
        scale.den = *den;
    }
    return scale;
}

const char* commandName(Command command) {
    for (const auto& c : kCommands) {
        if (c.command == command) return c.word;
    }
    return "";
}

ParseResult parseArguments(const std::vector<std::string>& args) {
    Options o;
    std::vector<std::string> positional;
    bool optionsEnded = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }

        // --name=value and -dN forms.
        std::string name = arg;
        std::optional<std::string> value;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
            }
        } else if (arg.size() > 2) {
            name = arg.substr(0, 2);
            value = arg.substr(2);
        }

        // --wait alone waits without a limit; --wait=SECONDS bounds it.
        if (name == "--wait") {
            if (!value) {
                o.waitSeconds = 0;
                continue;
            }
            const auto seconds = parseSeconds(*value);
            if (!seconds || *seconds <= 0) return fail("--wait needs a positive number of seconds: " + *value);
            o.waitSeconds = *seconds;
            continue;
        }
        if (isFlag(name)) {
            if (value) return fail("option " + name + " takes no value");
            if (name == "-h" || name == "--help") o.help = true;
            if (name == "-V" || name == "--version") o.version = true;
            if (name == "--json") o.json = true;
            if (name == "--trace") o.trace = true;
            if (name == "--poll-arrivals") o.pollArrivals = true;
            if (name == "-v" || name == "--verbose") o.verbose = true;
            if (name == "-q" || name == "--quiet") o.quiet = true;
            if (name == "--once-per-port") o.oncePerPort = true;
            continue;
        }
        if (!takesValue(name)) return fail("unknown option " + name);
        if (!value) {
            if (i + 1 >= args.size()) return fail("option " + name + " needs a value");
            value = args[++i];
        }

        if (name == "-d" || name == "--device") {
            const auto index = parseDecimal(*value, INT_MAX);
            if (!index) return fail("device index must be a number: " + *value);
            o.deviceIndex = *index;
        } else if (name == "--vid" || name == "--pid") {
            const auto id = parseHex16(*value);
            if (!id) return fail(name + " needs a hexadecimal number up to FFFF: " + *value);
            (name == "--vid" ? o.vid : o.pid) = *id;
        } else if (name == "--result") {
            if (value->empty()) return fail("--result needs a file name");
            o.resultPath = *value;
        } else if (name == "--simulate") {
            if (value->empty()) return fail("--simulate needs a scenario");
            o.simulate = *value;
        } else if (name == "--timing-scale") {
            const auto scale = parseTimingScale(*value);
            if (!scale) return fail("--timing-scale needs N/D with positive numbers: " + *value);
            o.timingScale = *scale;
        } else if (name == "--path" || name == "--port") {
            if (value->empty()) return fail(name + " needs a value");
            (name == "--path" ? o.nodePath : o.port) = *value;
        } else if (name == "--log") {
            if (value->empty()) return fail("--log needs a file name");
            o.logPath = *value;
        } else if (name == "--max" || name == "--parallel") {
            const auto n = parseDecimal(*value, name == "--max" ? 1000000000 : 32);
            if (!n || *n == 0) {
                return fail(name + (name == "--max" ? " needs a positive number: " : " needs a number from 1 to 32: ") +
                            *value);
            }
            (name == "--max" ? o.maxKeyboards : o.parallel) = *n;
        } else if (name == "--dump-flash") {
            if (value->empty()) return fail("--dump-flash needs a file name");
            o.dumpFlash = *value;
        }
    }

    if (o.help || o.version) {
        ParseResult r;
        r.ok = true;
        r.options = o;
        return r;
    }
    if (positional.empty()) return fail("no command given");

    for (const auto& c : kCommands) {
        if (positional[0] == c.word) o.command = c.command;
    }
    if (o.command == Command::None) return fail("unknown command " + positional[0]);

    const bool needsFile = o.command == Command::Info || o.command == Command::Flash || o.command == Command::Station;
    const std::size_t expected = needsFile ? 2 : 1;
    if (positional.size() < expected) {
        return fail(std::string(commandName(o.command)) + " needs a firmware file");
    }
    if (positional.size() > expected) return fail("unexpected argument " + positional[expected]);
    if (needsFile) {
        o.file = positional[1];
        if (o.file.empty()) return fail(std::string(commandName(o.command)) + " needs a firmware file");
    }

    if (o.deviceIndex && (o.vid || o.pid || o.nodePath || o.port)) {
        return fail("-d and --vid/--pid/--path/--port exclude each other");
    }
    if (o.verbose && o.quiet) return fail("--verbose and --quiet exclude each other");
    if (o.resultPath && o.command != Command::Flash) return fail("--result applies to flash only");
    if (o.command == Command::Info && (o.deviceIndex || o.vid || o.pid || o.nodePath || o.port)) {
        return fail("info reads the file only; it takes no device");
    }
    const bool station = o.command == Command::Station;
    if (!station && (o.logPath || o.maxKeyboards || o.parallel || o.oncePerPort)) {
        return fail("--log, --max, --parallel and --once-per-port apply to station only");
    }
    if (station && (o.deviceIndex || o.vid || o.pid || o.nodePath || o.port || o.resultPath || o.waitSeconds ||
                    o.dumpFlash || o.trace)) {
        return fail("station flashes every keyboard plugged in; it takes no device, --result, --wait or --trace");
    }
    if (o.waitSeconds && (o.command == Command::Info || o.command == Command::List)) {
        return fail("--wait applies to flash, version, test-mode and factory-reset");
    }

    ParseResult r;
    r.ok = true;
    r.options = o;
    return r;
}

std::string usageText(const std::string& program) {
    return "Usage: " + program + " [options] COMMAND [FILE]\n"
        "\n"
        "Writes firmware into USB keyboards through their HID interface.\n"
        "\n"
        "Commands:\n"
        "  list               list the attached keyboards (index, name, IDs, node, USB port)\n"
        "  info FILE          show what a firmware file holds and what writing it takes\n"
        "  version            read the firmware version of the keyboard\n"
        "  flash FILE         write FILE into the keyboard and confirm the result\n"
        "  test-mode          switch the keyboard into its testing mode\n"
        "  factory-reset      load the keyboard's factory settings\n"
        "  station FILE       write FILE into every keyboard plugged in, several at once,\n"
        "                     one line per keyboard; Ctrl-C stops taking new ones\n"
        "\n"
        "Options:\n"
        "  -d, --device INDEX     use the keyboard with this index of 'list' (default 0)\n"
        "      --vid HEX          use the first keyboard with this vendor ID\n"
        "      --pid HEX          ... and this product ID\n"
        "      --path NODE        use the keyboard at this device node (/dev/hidraw3)\n"
        "      --port LOCATION    use the keyboard at this USB port (1-2.3, as 'list' shows);\n"
        "                         flash then accepts only the boot loader at that port\n"
        "      --wait[=SECONDS]   wait for the keyboard to be plugged in (without SECONDS: no limit)\n"
        "      --result FILE      flash as a host-driven run: write the outcome into FILE;\n"
        "                         EVENTVIEWER sends it to the system log instead\n"
        "      --json             list and info: print JSON; the other commands: JSON Lines events\n"
        "  -v, --verbose          show every status text with its time\n"
        "  -q, --quiet            show the outcome only\n"
        "      --trace            print every feature report on stderr, with timestamps\n"
        "      --simulate SCENARIO  use a simulated keyboard (a scenario name or file);\n"
        "                         the variable VANTEL_SIMULATE does the same\n"
        "      --timing-scale N/D shorten the delays and timeouts to N/D (for tests;\n"
        "                         a reply wait ends by its count of empty reads)\n"
        "      --log FILE         station: append one JSON line per keyboard to FILE\n"
        "      --max N            station: stop after N keyboards\n"
        "      --parallel N       station: flash at most N keyboards at once (default: every\n"
        "                         port in use, at most 8)\n"
        "      --once-per-port    station: after a success, flash at that port again only once\n"
        "                         it has stayed empty for a while (not after a restart)\n"
        "  -h, --help             show this text\n"
        "  -V, --version          show the program version\n"
        "\n"
        "Progress and status go to stderr; results, versions and listings to stdout.\n"
        "During flash a first Ctrl-C only warns; a second one aborts (status 130).\n"
        "\n"
        "Exit status:\n"
        "  0  success (flash: the keyboard reported \"Update successfully!\")\n"
        "  1  usage error\n"
        "  2  no keyboard, no such device, or it cannot be opened\n"
        "  3  firmware file missing, unreadable or not for this keyboard\n"
        "  4  the keyboard refused a command or did not enter ISP mode\n"
        "  5  erase, write or reset failed\n"
        "  6  written, but the firmware version could not be confirmed\n"
        "  7  timeout waiting for the keyboard in ISP mode\n"
        "  8  the run ended without a recognised outcome\n";
}

}  // namespace vantel::cli
