# A module for the device's firmware: an ELF shared object the firmware
# loads, built for whichever toolchain the caller configured (the host, or
# the device with the device toolchain file). The project's own build and the
# installed package (SteadyflowConfig.cmake) both make modules this way.
#
#   steadyflow_add_module(<target> SOURCES <file>... NAME <text> VERSION <text>
#                         ID <number> [AUTHOR <text>] [DESCRIPTION <text>])
#
# makes <target>.tap from the sources, which define TAP_Main and
# TAP_EventHandler with C linkage (tapheader.h), with:
# - the identity header laid out from the arguments (each text checked at
#   configure time against its field; DESCRIPTION defaults to NAME), dated by
#   SOURCE_DATE_EPOCH where it is set, else by the day it is configured;
# - the init unit (the entry hand-over and the runtime hooks) and the whole
#   helper library (helpers.h), so that every function of both is exported;
# - no C++ runtime, no start files, no static constructors; exactly three
#   needed libraries, in this order: the firmware API library
#   "/tapapi/TMS/libtap.so", "libdl.so.0", "libc.so.0" (link stubs that
#   export only what the device offers, so any other import fails the link);
#   the classic hash table the device's loader reads; static libgcc;
# - on the device, a check after every link that the code holds no
#   instruction beyond MIPS32 release 1.
#
# It takes the targets Steadyflow::helpers, Steadyflow::tap, Steadyflow::libdl
# and Steadyflow::libc, the init unit's source STEADYFLOW_INIT_UNIT and the
# check STEADYFLOW_MIPS32_CHECK from whoever includes it.
include_guard(GLOBAL)

# The build date, "Mon D YYYY"; string(TIMESTAMP) honours SOURCE_DATE_EPOCH,
# so builds can be reproduced. The instant it stands for, for rebuilding the
# same module elsewhere.
string(TIMESTAMP _steadyflow_month "%b" UTC)
string(TIMESTAMP _steadyflow_day "%d" UTC)
string(TIMESTAMP _steadyflow_year "%Y" UTC)
string(REGEX REPLACE "^0" "" _steadyflow_day "${_steadyflow_day}")
set(STEADYFLOW_BUILD_DATE "${_steadyflow_month} ${_steadyflow_day} ${_steadyflow_year}")
string(TIMESTAMP STEADYFLOW_BUILD_EPOCH "%s" UTC)

# What every unit of a module is compiled with (the helper library's too):
# nothing that needs the C++ runtime, the device's own conventions. The
# device build also leaves each unit's stack frames (.su) and call graph
# (.ci) beside its object file, for a report of the stack a module uses.
function(steadyflow_module_options target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector -fno-asynchronous-unwind-tables
    -U_FORTIFY_SOURCE
    # GCC only; clang (the fuzzing build) keeps definition order and makes no
    # unique symbols anyway.
    $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique -fno-toplevel-reorder>
    $<IF:$<BOOL:${CMAKE_CROSSCOMPILING}>,-Os,-O2>
    $<$<BOOL:${CMAKE_CROSSCOMPILING}>:-fstack-usage -fcallgraph-info=su>
    # The same sources give the same bytes from any checkout and build folder.
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# Makes TARGET, a shared library, a module file as the firmware loads it:
# <target>.tap, compiled and linked by the rules above, needing the three
# libraries. steadyflow_add_module does this and more; a module that lays
# out its own header and entries (a test's) takes just this.
function(steadyflow_link_module target)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".tap" NO_SONAME ON SKIP_BUILD_RPATH ON)
  steadyflow_module_options(${target})
  # A sanitized module leaves the sanitizer runtime's names to the program
  # that loads it, so only that build links without --no-undefined.
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles $<$<NOT:$<BOOL:${STEADYFLOW_SANITIZE}>>:-Wl,--no-undefined> -Wl,--no-as-needed
    -Wl,--hash-style=sysv)
  # The order here is the order of DT_NEEDED.
  target_link_libraries(${target} PRIVATE Steadyflow::tap Steadyflow::libdl Steadyflow::libc gcc)
endfunction()

# VALUE checked against a text field of SIZE bytes (its terminator
# included) and put in OUT as a C string literal.
function(_steadyflow_identity_text out target field value size)
  string(LENGTH "${value}" length)
  if(length GREATER_EQUAL size)
    math(EXPR most "${size} - 1")
    message(FATAL_ERROR "steadyflow_add_module(${target}): ${field} \"${value}\" is ${length} bytes; its field holds ${most}")
  endif()
  if(value MATCHES "[\n\r]")
    message(FATAL_ERROR "steadyflow_add_module(${target}): ${field} holds a line end")
  endif()
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()

function(steadyflow_add_module target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME;VERSION;ID;AUTHOR;DESCRIPTION" "SOURCES")
  set(usage "steadyflow_add_module(${target} SOURCES <file>... NAME <text> VERSION <text> ID <number> [AUTHOR <text>] [DESCRIPTION <text>])")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "steadyflow_add_module(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}; ${usage}")
  endif()
  foreach(required SOURCES NAME VERSION ID)
    if(NOT DEFINED arg_${required})
      message(FATAL_ERROR "steadyflow_add_module(${target}): no ${required} given; ${usage}")
    endif()
  endforeach()
  if(NOT DEFINED arg_DESCRIPTION)
    set(arg_DESCRIPTION "${arg_NAME}")
  endif()
  if(NOT arg_ID MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
    message(FATAL_ERROR "steadyflow_add_module(${target}): ID \"${arg_ID}\" is no number (decimal or 0x hexadecimal)")
  endif()
  math(EXPR id "${arg_ID}" OUTPUT_FORMAT HEXADECIMAL)
  if(arg_ID GREATER 4294967295 OR id MATCHES "^0x[0-9a-fA-F]{9,}$")
    message(FATAL_ERROR "steadyflow_add_module(${target}): ID ${arg_ID} does not fit in 32 bits")
  endif()
  # The field sizes of tapheader.h.
  _steadyflow_identity_text(name ${target} NAME "${arg_NAME}" 64)
  _steadyflow_identity_text(version ${target} VERSION "${arg_VERSION}" 64)
  _steadyflow_identity_text(author ${target} AUTHOR "${arg_AUTHOR}" 64)
  _steadyflow_identity_text(description ${target} DESCRIPTION "${arg_DESCRIPTION}" 128)
  _steadyflow_identity_text(date ${target} "build date" "${STEADYFLOW_BUILD_DATE}" 64)
  set(identity ${CMAKE_CURRENT_BINARY_DIR}/${target}_identity.cpp)
  file(CONFIGURE OUTPUT ${identity} CONTENT
"// Generated by steadyflow_add_module(${target}): the module's identity header.
#include \"tapheader.h\"

TAP_IDENTITY(${date}, ${description}, ${author}, ${version}, ${name}, ${id}u, TAP_HEADER_MAGIC)
")

  add_library(${target} SHARED ${arg_SOURCES} ${STEADYFLOW_INIT_UNIT} ${identity})
  # The name and ID stay on the target, for what is built beside the module
  # and tells it from others (the project's devsim).
  set_target_properties(${target} PROPERTIES STEADYFLOW_MODULE_NAME "${arg_NAME}" STEADYFLOW_MODULE_ID ${id})
  get_filename_component(init_folder ${STEADYFLOW_INIT_UNIT} DIRECTORY)
  target_compile_options(${target} PRIVATE -ffile-prefix-map=${init_folder}=.)
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,Steadyflow::helpers>")
  steadyflow_link_module(${target})
  if(CMAKE_CROSSCOMPILING)
    add_custom_command(TARGET ${target} POST_BUILD COMMAND ${STEADYFLOW_MIPS32_CHECK} $<TARGET_FILE:${target}>)
  endif()
endfunction()
