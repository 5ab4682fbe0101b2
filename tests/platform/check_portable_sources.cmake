# Fails when code above the platform layer knows the operating system or the
# compiler: an operating-system header, a compiler builtin or extension
# keyword, a preprocessor conditional, or a POSIX-only function. Every folder
# under src/ except src/platform is scanned, so new program folders are
# covered without a change here. GNU language extensions themselves are
# refused by the compiler (-pedantic-errors).
#   cmake -DSOURCE_DIR=<repo>/src -P check_portable_sources.cmake
if(NOT SOURCE_DIR)
    message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(os_headers
    "unistd|fcntl|termios|poll|pthread|dirent|dlfcn|pwd|grp|libgen|strings|syslog|netdb|semaphore|sched|spawn|glob|fnmatch|wordexp|utime|(sys|arpa|netinet|linux|asm)/[^>]+|windows|winbase|winreg|io|direct|process")
set(checks
    "operating-system header|#[ \t]*include[ \t]*<(${os_headers})\\.h>"
    "compiler builtin or keyword|__builtin_|__attribute__|__extension__|__typeof__|__asm__|__int128|__declspec|#[ \t]*pragma[ \t]+(GCC|clang)"
    "preprocessor conditional|^[ \t]*#[ \t]*(if|ifdef|ifndef|elif)([^A-Za-z0-9_]|$)"
    "POSIX-only function or type|(^|[^A-Za-z0-9_:.>])(localtime_r|gmtime_r|strcasecmp|strncasecmp|strdup|strndup|setenv|unsetenv|usleep|nanosleep|popen|pclose|realpath|fileno|isatty|getpid|mkstemp|mkdtemp|strtok_r|ssize_t|posix_[a-z_]+)([^A-Za-z0-9_]|$)")

file(GLOB_RECURSE sources LIST_DIRECTORIES false
     "${SOURCE_DIR}/*.h" "${SOURCE_DIR}/*.hpp" "${SOURCE_DIR}/*.cpp" "${SOURCE_DIR}/*.cc")
set(found 0)
set(scanned 0)
foreach(path IN LISTS sources)
    file(RELATIVE_PATH rel "${SOURCE_DIR}" "${path}")
    if(rel MATCHES "^platform/")
        continue()
    endif()
    math(EXPR scanned "${scanned} + 1")
    file(READ "${path}" text)
    # One list element per line; a semicolon in the code stays in its line.
    string(REPLACE ";" "\\;" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(number 0)
    foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        foreach(check IN LISTS checks)
            string(FIND "${check}" "|" bar)
            string(SUBSTRING "${check}" 0 ${bar} what)
            math(EXPR start "${bar} + 1")
            string(SUBSTRING "${check}" ${start} -1 pattern)
            if(line MATCHES "${pattern}")
                string(STRIP "${line}" line)
                message(SEND_ERROR "src/${rel}:${number}: ${what}: ${line}")
                set(found 1)
            endif()
        endforeach()
    endforeach()
endforeach()
if(found)
    message(FATAL_ERROR "Only src/platform may know the operating system or the compiler.")
endif()
message(STATUS "${scanned} sources checked: nothing above src/platform knows the operating system or the compiler")
