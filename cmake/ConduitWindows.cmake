# The Windows build (preset `windows`, toolchain cmake/mingw-w64-x86_64.cmake): the
# deliverable Conduit.exe alone, from its own sources against the real Windows SDK of
# mingw-w64, without the stand-in of Windows, the tools, the tests or the virtual target.
#
# libxml2 is a static library built for Windows beforehand (cmake/build-libxml2-windows.sh,
# which `make windows` runs) and installed under CONDUIT_LIBXML2_PREFIX.
include(${CMAKE_CURRENT_LIST_DIR}/ConduitWindowsSources.cmake)

set(CONDUIT_LIBXML2_PREFIX "${CMAKE_BINARY_DIR}/libxml2" CACHE PATH
  "where the Windows build of libxml2 is installed")
find_package(LibXml2 CONFIG REQUIRED
  PATHS ${CONDUIT_LIBXML2_PREFIX} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)

conduit_windows_sources(conduit_sources conduit_includes)
add_executable(Conduit ${conduit_sources})
target_include_directories(Conduit PRIVATE ${conduit_includes})
target_compile_definitions(Conduit PRIVATE ${CONDUIT_WINDOWS_DEFINITIONS} LIBXML_STATIC)
# The service's threads are std::thread and its locks std::mutex: the posix flavour of the
# mingw-w64 runtime, linked statically like the C++ library, so that Conduit.exe is one file
# to copy. -municode: the entry point is wmain.
target_link_options(Conduit PRIVATE -static -municode)
target_link_libraries(Conduit PRIVATE LibXml2::LibXml2
  ws2_32 advapi32 ole32 cfgmgr32 shlwapi)
conduit_warnings(Conduit)
