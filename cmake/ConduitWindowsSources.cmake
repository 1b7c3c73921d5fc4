# What the Windows executable Conduit.exe is made of: every Conduit source under service/ and
# common/syst, tests and test scaffolding (testing/ folders) aside, and the headers they
# include from common/protocol. The Windows build links them into Conduit.exe and
# tests/windows_compile checks each one against the real Windows SDK headers, so both take
# the list from here.
#
# conduit_windows_sources(SOURCES_VAR INCLUDES_VAR): the sources, and the include folders
# they need: every folder that holds a header, and every include/ folder above one, as the
# library targets of the Linux build put them on the path.
function(conduit_windows_sources sources_var includes_var)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/service/*.cpp ${CMAKE_SOURCE_DIR}/common/syst/*.cpp)
  list(FILTER sources EXCLUDE REGEX "(_test\\.cpp$|/testing/)")
  file(GLOB_RECURSE headers CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/service/*.h ${CMAKE_SOURCE_DIR}/common/syst/*.h ${CMAKE_SOURCE_DIR}/common/protocol/*.h)
  list(FILTER headers EXCLUDE REGEX "/testing/")

  set(includes)
  foreach(header IN LISTS headers)
    get_filename_component(folder ${header} DIRECTORY)
    list(APPEND includes ${folder})
    string(REGEX MATCH "^.*/include" include_root ${folder})
    if(include_root)
      list(APPEND includes ${include_root})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES includes)

  set(${sources_var} ${sources} PARENT_SCOPE)
  set(${includes_var} ${includes} PARENT_SCOPE)
endfunction()

# What every Windows compile of those sources defines: wide-character Windows APIs, and
# windows.h without its rarely used parts (which also keeps the old winsock.h out, so that
# winsock2.h can come after windows.h). A source includes what it uses.
set(CONDUIT_WINDOWS_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
