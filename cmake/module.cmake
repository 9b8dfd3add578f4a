# The module: SteadyflowTest.tap, an ELF shared object the firmware loads.
#
# It links no C++ runtime and no start files: only the firmware API library
# and the two platform libraries, through link stubs that export exactly what
# the module may import, plus static libgcc.

# The build date for the identity header, "Mon D YYYY"; string(TIMESTAMP)
# honours SOURCE_DATE_EPOCH, so builds can be reproduced.
string(TIMESTAMP build_month "%b" UTC)
string(TIMESTAMP build_day "%d" UTC)
string(TIMESTAMP build_year "%Y" UTC)
string(REGEX REPLACE "^0" "" build_day "${build_day}")
set(TAP_BUILD_DATE "${build_month} ${build_day} ${build_year}")
# The instant it stands for, for rebuilding the same module elsewhere.
string(TIMESTAMP TAP_BUILD_EPOCH "%s" UTC)

# Makes TARGET a module file as the firmware loads it, from the sources that
# follow: compiled and linked as below, PREFIX-less with the suffix .tap.
function(tap_module target)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".tap" NO_SONAME ON SKIP_BUILD_RPATH ON)
  target_include_directories(${target} PRIVATE
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/lib ${PROJECT_SOURCE_DIR}/app)
  target_compile_definitions(${target} PRIVATE "TAP_BUILD_DATE=\"${TAP_BUILD_DATE}\"")
  target_compile_options(${target} PRIVATE
    -Wall -Wextra
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector -fno-asynchronous-unwind-tables
    -U_FORTIFY_SOURCE
    # GCC only; clang (the fuzzing build) keeps definition order and makes no
    # unique symbols anyway.
    $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique -fno-toplevel-reorder>
    $<IF:$<BOOL:${CMAKE_CROSSCOMPILING}>,-Os,-O2>)
  # A sanitized module leaves the sanitizer runtime's names to the program that
  # loads it, so only that build links without --no-undefined. The device's
  # loader looks symbols up in the classic hash table (DT_HASH) only.
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles $<$<NOT:$<BOOL:${STEADYFLOW_SANITIZE}>>:-Wl,--no-undefined> -Wl,--no-as-needed
    -Wl,--hash-style=sysv)
  # The order here is the order of DT_NEEDED.
  target_link_libraries(${target} PRIVATE tap stub_dl stub_c gcc)
endfunction()

file(GLOB module_lib_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/lib/*.cpp)
tap_module(SteadyflowTest
  ${PROJECT_SOURCE_DIR}/app/SteadyflowTest.cpp
  ${PROJECT_SOURCE_DIR}/app/tapinit.cpp
  ${module_lib_sources})
set_target_properties(SteadyflowTest PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# The device build also leaves each unit's stack frames (.su) and call graph
# (.ci) beside its object file for scripts/size-report, and checks after
# every link that the module holds no instruction beyond MIPS32 release 1.
if(CMAKE_CROSSCOMPILING)
  target_compile_options(SteadyflowTest PRIVATE -fstack-usage -fcallgraph-info=su)
  add_custom_command(TARGET SteadyflowTest POST_BUILD
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/mips32-check $<TARGET_FILE:SteadyflowTest>)
endif()

# The same sources and SOURCE_DATE_EPOCH give the same module from any
# checkout and build folder: the debug info names the sources relative to the
# checkout ("./app/...") and the folder they were compiled in as ".", so the
# build id, a hash of the file's contents, does not depend on either path.
target_compile_options(SteadyflowTest PRIVATE
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)

# The module as it goes onto the device (make dist): without the symbol table
# and debug info, and with everything the firmware's loader reads unchanged.
set(STRIPPED_MODULE ${CMAKE_BINARY_DIR}/stripped/SteadyflowTest.tap)
add_custom_command(OUTPUT ${STRIPPED_MODULE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/stripped
  COMMAND ${CMAKE_STRIP} -o ${STRIPPED_MODULE} $<TARGET_FILE:SteadyflowTest>
  DEPENDS SteadyflowTest)
add_custom_target(SteadyflowTest_stripped ALL DEPENDS ${STRIPPED_MODULE})
