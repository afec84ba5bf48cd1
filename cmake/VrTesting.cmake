# GoogleTest from the distribution's sources, built with the cross compiler.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# vr_add_gtest(<name> SOURCES ... [LIBS ...] [LOCKS ...] [LABELS ...] [TIMEOUT s])
# LOCKS names shared machine state (a registry key, a service) that the
# tests of this program change, so ctest never runs two of them at once.
# LABELS lets a developer run or skip a group alone (ctest -L / -LE).
function(vr_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LOCKS;LABELS" ${ARGN})
  # Whatever links the core's clients may reach a core another test started
  # (a scan's state notification, a session) and spoil what that test
  # counts: such programs take the core's lock whether they name it or not.
  foreach(lib vrssrsrv_core vrssrproxy_core vrcoreclient vrccclient vrcctestsupport vre2esupport
              VrSrvApi VrEvtApi VrPolicyApi)
    if(lib IN_LIST T_LIBS)
      list(APPEND T_LOCKS vrcc_core)
    endif()
  endforeach()
  if(T_LOCKS)
    list(REMOVE_DUPLICATES T_LOCKS)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES ${props})
  # Locks and labels are set on the discovered tests from a file of our own:
  # passed through PROPERTIES, a list loses every item after the first. The
  # program's name is always one of its labels: `ctest -L <program>` runs it.
  set(labels ${name} ${T_LABELS})
  set(lock_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_locks.cmake)
  file(WRITE ${lock_file}
       "foreach(t IN LISTS ${name}_TESTS)\n"
       "  set_tests_properties(\"\${t}\" PROPERTIES RESOURCE_LOCK \"${T_LOCKS}\" LABELS \"${labels}\")\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${lock_file})
endfunction()
