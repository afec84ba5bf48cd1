# vr_add_message_dll(<target> <file.mc> [EVENT_IDS]): a resource-only DLL
# holding the message table compiled from <file.mc> (UTF-8 source, customer
# bit set; EVENT_IDS: ids kept as written, as event message files need).
function(vr_add_message_dll target mc)
  set(customer -c)
  if("EVENT_IDS" IN_LIST ARGN)
    set(customer "")
  endif()
  get_filename_component(base ${mc} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_mc)
  add_custom_command(
    OUTPUT ${out}/${base}.rc ${out}/${base}.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${CMAKE_MC_COMPILER} ${customer} -U -C 65001 -h ${out} -r ${out} ${CMAKE_CURRENT_SOURCE_DIR}/${mc}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${mc}
    COMMENT "Compiling message table ${mc}")
  add_library(${target} SHARED ${out}/${base}.rc)
  set_target_properties(${target} PROPERTIES PREFIX "" LINKER_LANGUAGE C)
  vr_resource_only(${target})
endfunction()

# vr_add_resource_dll(<target> <file.rc>): a DLL holding only resources.
function(vr_add_resource_dll target rc)
  add_library(${target} SHARED ${rc})
  set_target_properties(${target} PROPERTIES PREFIX "" LINKER_LANGUAGE C)
  vr_resource_only(${target})
endfunction()
