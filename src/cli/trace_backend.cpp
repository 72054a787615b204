#include "cli/trace_backend.h"

#include <cstdio>

namespace vantel::cli {

namespace {

std::int64_t steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string stamp(std::int64_t elapsedMs) {
    if (elapsedMs < 0) elapsedMs = 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%4lld.%03lld]", static_cast<long long>(elapsedMs / 1000),
                  static_cast<long long>(elapsedMs % 1000));
    return buf;
}

}  // namespace

std::string traceLine(std::int64_t elapsedMs, const char* direction, HidHandle handle,
                      const std::uint8_t* bytes, std::size_t length, bool ok) {
    std::string line = stamp(elapsedMs) + " " + direction + " #" + std::to_string(handle) + " ";
    char hex[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        line += hex;
    }
    if (!ok) line += "  failed";
    return line;
}

TracingBackend::TracingBackend(HidBackend& inner, std::ostream& out, Clock clock)
    : TracingBackend(inner, Writer([stream = &out](const std::string& line) {
                         *stream << line << "\n";
                         stream->flush();
                     }),
                     std::move(clock)) {}

TracingBackend::TracingBackend(HidBackend& inner, Writer writer, Clock clock)
    : inner_(inner), writer_(std::move(writer)), clock_(clock ? std::move(clock) : Clock(steadyMs)) {
    origin_ = clock_();
}

std::int64_t TracingBackend::elapsed() const { return clock_() - origin_; }

void TracingBackend::write(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    writer_(line);
}

HidStatus TracingBackend::open(const std::string& path, Access access, HidHandle& out) {
    const HidStatus status = inner_.open(path, access, out);
    std::string line = stamp(elapsed()) + " OPEN " + path;
    line += status == HidStatus::Ok ? " -> #" + std::to_string(out) : std::string("  failed");
    write(line);
    return status;
}

void TracingBackend::close(HidHandle handle) {
    inner_.close(handle);
    write(stamp(elapsed()) + " CLOSE #" + std::to_string(handle));
}

HidStatus TracingBackend::setFeature(HidHandle handle, const std::uint8_t* report,
                                     std::size_t length) {
    const HidStatus status = inner_.setFeature(handle, report, length);
    write(traceLine(elapsed(), "SET", handle, report, length, status == HidStatus::Ok));
    return status;
}

HidStatus TracingBackend::getFeature(HidHandle handle, std::uint8_t* buffer, std::size_t length) {
    const HidStatus status = inner_.getFeature(handle, buffer, length);
    // A failed read shows only the report ID that was asked for.
    const bool ok = status == HidStatus::Ok;
    write(traceLine(elapsed(), "GET", handle, buffer, ok ? length : (length ? 1 : 0), ok));
    return status;
}

}  // namespace vantel::cli
