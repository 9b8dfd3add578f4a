# The kit for other modules, as `cmake --install BUILD --prefix DIR` lays it
# out (make install PREFIX=DIR builds the target `kit` of the host build and
# the device build and the device image, and installs the three, stripped,
# into one DIR):
#
#   include/steadyflow/            tap.h, tapheader.h, helpers.h, fwdata.h
#   lib/cmake/Steadyflow/          the CMake package (SteadyflowConfig.cmake),
#                                  steadyflow_add_module, the device toolchain
#                                  file, and each build's targets in host/ or device/
#   lib/steadyflow/BUILD/          the helper library, and sim/: the firmware
#                                  API library and the link stubs
#   lib/steadyflow/host/           also devsim, the firmware's data libraries,
#                                  compat/ (links to the platform's libc) and
#                                  this project's module, laid out as in the
#                                  build, where devsim finds them from its own place
#   lib/steadyflow/image/          the device image (its own build installs it)
#   lib/steadyflow/vm/             the VM (make vm), from the device build
#                                  configured with it (VM_DIR)
#   share/steadyflow/              the init unit, the MIPS32 release 1 check
#   share/doc/steadyflow/          the kit's guide (kit.md) and examples/counter
#   bin/devsim                     a link to lib/steadyflow/host/devsim
#
# Nothing installed names the build: every program finds what it loads
# relative to its own place, and debug information names files relative to
# the checkout (the top CMakeLists.txt maps the paths).
include(CMakePackageConfigHelpers)
if(CMAKE_CROSSCOMPILING)
  set(kit_flavour device)
else()
  set(kit_flavour host)
endif()
set(kit_lib lib/steadyflow/${kit_flavour})
set(kit_cmake lib/cmake/Steadyflow)
set(kit_doc share/doc/steadyflow)
# make install says what it lays out in one line of its own.
set(CMAKE_INSTALL_MESSAGE NEVER)

# The guide, with its table of the C library functions a module may import
# made here from the link stubs' lists: the installed guide says what the
# stubs let through, whatever the checkout's copy says (the test
# host.KitGuide.ListsTheLinkStubsNames compares the two).
set(guide_source ${PROJECT_SOURCE_DIR}/docs/kit.md)
set(kit_guide ${CMAKE_BINARY_DIR}/docs/kit.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${guide_source}
             ${PROJECT_SOURCE_DIR}/sim/stubs/libc.allow ${PROJECT_SOURCE_DIR}/sim/stubs/libdl.allow)
set(imports "| library | functions |\n| --- | --- |\n")
foreach(stub libc libdl)
  file(STRINGS ${PROJECT_SOURCE_DIR}/sim/stubs/${stub}.allow names REGEX "^[A-Za-z_]")
  list(LENGTH names count)
  list(TRANSFORM names REPLACE "(.+)" "`\\1`")
  list(JOIN names ", " names)
  string(APPEND imports "| `${stub}.so.0` (${count}) | ${names} |\n")
endforeach()
file(READ ${guide_source} guide)
set(imports_begin "<!-- imports: made from sim/stubs/libc.allow and libdl.allow -->\n")
set(imports_end "<!-- end of imports -->")
string(FIND "${guide}" "${imports_begin}" begin_at)
string(FIND "${guide}" "${imports_end}" end_at)
if(begin_at EQUAL -1 OR end_at LESS begin_at)
  message(FATAL_ERROR "docs/kit.md lacks the lines that enclose its table of imports:\n${imports_begin}${imports_end}")
endif()
string(LENGTH "${imports_begin}" begin_length)
math(EXPR head_length "${begin_at} + ${begin_length}")
string(SUBSTRING "${guide}" 0 ${head_length} head)
string(SUBSTRING "${guide}" ${end_at} -1 tail)
# Written afresh only when it changes.
file(WRITE ${CMAKE_BINARY_DIR}/docs/kit.md.new "${head}${imports}${tail}")
configure_file(${CMAKE_BINARY_DIR}/docs/kit.md.new ${kit_guide} COPYONLY)

install(FILES include/tap.h include/tapheader.h include/fwdata.h lib/helpers.h DESTINATION include/steadyflow)
install(FILES app/tapinit.cpp DESTINATION share/steadyflow)
install(PROGRAMS scripts/mips32-check DESTINATION share/steadyflow)
install(FILES ${kit_guide} DESTINATION ${kit_doc})
install(FILES examples/counter/CMakeLists.txt examples/counter/counter.cpp DESTINATION ${kit_doc}/examples/counter)
install(TARGETS steadyflow_helpers EXPORT steadyflow ARCHIVE DESTINATION ${kit_lib})
install(TARGETS tap EXPORT steadyflow LIBRARY DESTINATION ${kit_lib}/sim)
install(TARGETS stub_c stub_dl EXPORT steadyflow LIBRARY DESTINATION ${kit_lib}/sim/stubs)
install(TARGETS SteadyflowTest LIBRARY DESTINATION ${kit_lib})
install(EXPORT steadyflow NAMESPACE Steadyflow:: DESTINATION ${kit_cmake}/${kit_flavour} FILE SteadyflowTargets.cmake)

configure_package_config_file(cmake/SteadyflowConfig.cmake.in ${CMAKE_BINARY_DIR}/SteadyflowConfig.cmake
                              INSTALL_DESTINATION ${kit_cmake})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/SteadyflowConfigVersion.cmake COMPATIBILITY SameMajorVersion
                                 ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/SteadyflowConfig.cmake ${CMAKE_BINARY_DIR}/SteadyflowConfigVersion.cmake
              cmake/SteadyflowModule.cmake cmake/mipsel-linux-gnu.cmake DESTINATION ${kit_cmake})

# What the kit holds of this build, and nothing else (no test, no bench):
# the target make install builds.
add_custom_target(kit)
add_dependencies(kit steadyflow_helpers tap stub_c stub_dl SteadyflowTest)

# The VM that devsim run --vm boots, from the device build when it is
# configured with one (VM_DIR, as the Makefile configures it): make install
# and the kit's test install it as they install the rest.
if(CMAKE_CROSSCOMPILING AND VM_DIR)
  install(FILES ${VM_DIR}/vmlinux ${VM_DIR}/initramfs.cpio ${VM_DIR}/release DESTINATION lib/steadyflow/vm)
endif()

# The simulated device, from the host build: devsim and what it loads. devsim
# is linked with the search path it is installed with, so the same bytes come
# from any checkout; in the build, compat/ lies beside it as well.
if(NOT CMAKE_CROSSCOMPILING)
  set_target_properties(devsim PROPERTIES INSTALL_RPATH "$ORIGIN/compat" BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS devsim RUNTIME DESTINATION ${kit_lib})
  install(TARGETS fwtask fwutf8 LIBRARY DESTINATION ${kit_lib}/sim)
  install(DIRECTORY ${COMPAT_DIR}/ DESTINATION ${kit_lib}/compat)
  install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
file(CREATE_LINK ../${kit_lib}/devsim \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/devsim\" SYMBOLIC)")
  add_dependencies(kit devsim fwtask fwutf8)
endif()
