# Checks the include arrows between the parts of src/ and that every source
# file is named by the build file that owns it. Run by CTest (the `layers`
# test) and by hand:
#
#   cmake -DVANTEL_SOURCE_DIR=<checkout> -P cmake/check_layers.cmake
#
# Every library exports src/ as its include root, so nothing in the compiler
# stops a lower part from including a higher one; this check does.
#
# The core is link and image at the bottom, update above them, app above
# update. The core includes nothing but its own parts and the C++ standard
# library: no platform header, nothing from the front ends, the back ends or
# the simulator. The parts outside the core include the core and the few
# other outside parts named here.

if(NOT VANTEL_SOURCE_DIR)
  get_filename_component(VANTEL_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
endif()
set(src "${VANTEL_SOURCE_DIR}/src")

set(core link image update app)
set(allowed_link link)
set(allowed_image image)
set(allowed_update update link image)
set(allowed_app app update link image)
set(allowed_headless headless ${core})
set(allowed_sim sim ${core})
set(allowed_platform/linux platform/linux ${core})
set(allowed_platform/win32 platform/win32 sim ${core})
set(allowed_cli cli headless sim platform/linux platform/win32 ${core})

# The C++ standard library: the only headers in angle brackets the core may include.
set(standard_headers
  algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
  condition_variable coroutine deque exception execution expected filesystem format forward_list
  fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator latch
  limits list locale map memory memory_resource mutex new numbers numeric optional ostream queue
  random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span
  sstream stack stdexcept stop_token streambuf string string_view syncstream system_error thread
  tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector
  version
  cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp csignal cstdarg
  cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype)

# The part a path under src/ belongs to: its first folder, or platform/<os>.
function(part_of path out)
  file(RELATIVE_PATH rel "${src}" "${path}")
  if(rel MATCHES "^\\.\\./" OR IS_ABSOLUTE "${rel}")
    set(${out} "" PARENT_SCOPE)
  elseif(rel MATCHES "^(platform/[^/]+)/")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  elseif(rel MATCHES "^([^/]+)/")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

set(faults "")

file(GLOB_RECURSE files "${src}/*.h" "${src}/*.cpp")
list(SORT files)
foreach(file ${files})
  part_of("${file}" from)
  file(RELATIVE_PATH shown "${VANTEL_SOURCE_DIR}" "${file}")
  if(NOT DEFINED allowed_${from})
    list(APPEND faults "${shown}: src/${from} has no include rule in cmake/check_layers.cmake")
    continue()
  endif()
  list(FIND core "${from}" core_index)
  get_filename_component(dir "${file}" DIRECTORY)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line ${lines})
    if(NOT line MATCHES "include[ \t]*([<\"])([^>\"]+)[>\"]")
      continue()
    endif()
    set(bracket "${CMAKE_MATCH_1}")
    set(header "${CMAKE_MATCH_2}")
    if(bracket STREQUAL "<")
      if(core_index GREATER -1)
        list(FIND standard_headers "${header}" std_index)
        if(std_index EQUAL -1)
          list(APPEND faults "${shown}: ${from} is core and may not include <${header}>")
        endif()
      endif()
      continue()
    endif()
    # A quoted include is a path from src/, or one next to the including file.
    set(to "")
    if(EXISTS "${dir}/${header}")
      get_filename_component(target "${dir}/${header}" ABSOLUTE)
      part_of("${target}" to)
    elseif(EXISTS "${src}/${header}")
      get_filename_component(target "${src}/${header}" ABSOLUTE)
      part_of("${target}" to)
    elseif(header MATCHES "(^|/)\\.\\./")
      get_filename_component(target "${header}" ABSOLUTE BASE_DIR "${dir}")
      part_of("${target}" to)
    elseif(header MATCHES "^(platform/[^/]+)/")
      # Not there (yet): judged by the folder it names.
      set(to "${CMAKE_MATCH_1}")
    elseif(header MATCHES "^([^/]+)/")
      set(to "${CMAKE_MATCH_1}")
    endif()
    if(to STREQUAL "")
      if(core_index GREATER -1)
        list(APPEND faults "${shown}: ${from} is core and may not include \"${header}\" from outside src/")
      endif()
      continue()
    endif()
    list(FIND allowed_${from} "${to}" to_index)
    if(to_index EQUAL -1)
      list(APPEND faults "${shown}: ${from} may not include \"${header}\" (${to})")
    endif()
  endforeach()
endforeach()

# Every source file is named by the build file that owns it, so that a new
# file cannot be left out of its library or test program unnoticed. A build
# file that still picks its sources by pattern is complete by construction.
set(not_owned
  "tests/kernel/"                 # built by tests/kernel/stage into the guest
  "src/platform/linux/static/")   # the libudev-free stand-in of the same stage
file(GLOB_RECURSE sources RELATIVE "${VANTEL_SOURCE_DIR}"
  "${VANTEL_SOURCE_DIR}/src/*.cpp" "${VANTEL_SOURCE_DIR}/tests/*.cpp"
  "${VANTEL_SOURCE_DIR}/fuzz/*.cpp" "${VANTEL_SOURCE_DIR}/bench/*.cpp"
  "${VANTEL_SOURCE_DIR}/tools/*.cpp")
list(SORT sources)
foreach(source ${sources})
  set(skip FALSE)
  foreach(prefix ${not_owned})
    string(FIND "${source}" "${prefix}" at)
    if(at EQUAL 0)
      set(skip TRUE)
    endif()
  endforeach()
  if(skip)
    continue()
  endif()
  # The build files that may name it: its folder's CMakeLists.txt; for a
  # test area, tests/CMakeLists.txt and the area's suite.cmake.
  set(owners "")
  if(source MATCHES "^src/(platform/[^/]+)/")
    set(owners "src/${CMAKE_MATCH_1}/CMakeLists.txt")
  elseif(source MATCHES "^src/([^/]+)/")
    set(owners "src/${CMAKE_MATCH_1}/CMakeLists.txt")
  elseif(source MATCHES "^tests/([^/]+)/")
    set(owners "tests/CMakeLists.txt" "tests/${CMAKE_MATCH_1}/suite.cmake")
  elseif(source MATCHES "^(fuzz|bench)/")
    set(owners "${CMAKE_MATCH_1}/CMakeLists.txt")
  else()
    set(owners "CMakeLists.txt")
  endif()
  set(text "")
  foreach(owner ${owners})
    if(EXISTS "${VANTEL_SOURCE_DIR}/${owner}")
      file(READ "${VANTEL_SOURCE_DIR}/${owner}" owner_text)
      string(APPEND text "${owner_text}\n")
    endif()
  endforeach()
  string(REPLACE ";" " or " owner "${owners}")
  if(text STREQUAL "")
    list(APPEND faults "${source}: no build file (${owner}) names it")
    continue()
  endif()
  if(text MATCHES "file\\(GLOB")
    continue()
  endif()
  get_filename_component(stem "${source}" NAME_WE)
  if(NOT text MATCHES "(^|[^A-Za-z0-9_])${stem}(\\.cpp)?([^A-Za-z0-9_.]|$)")
    list(APPEND faults "${source}: not named in ${owner}")
  endif()
endforeach()

if(faults)
  list(LENGTH faults count)
  string(REPLACE ";" "\n  " listing "${faults}")
  message(FATAL_ERROR "${count} layer or source-list fault(s):\n  ${listing}\n")
endif()
list(LENGTH files checked)
message(STATUS "layers: ${checked} files under src/ keep to the include rules")
