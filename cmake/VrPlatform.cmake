# What differs between the MinGW and the MSVC builds, in one place.

# vr_wmain_program(<target>): the program's entry is wmain.
function(vr_wmain_program target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()

# vr_resource_only(<target>): a DLL of resources alone, without an entry.
function(vr_resource_only target)
  if(MINGW)
    target_link_options(${target} PRIVATE -nostdlib -Wl,-e,0 -Wl,--no-insert-timestamp)
  else()
    target_link_options(${target} PRIVATE /NOENTRY)
  endif()
endfunction()

# vr_stack_reserve(<target> <bytes>): the stack its threads reserve by default.
function(vr_stack_reserve target bytes)
  if(MINGW)
    target_link_options(${target} PRIVATE -Wl,--stack,${bytes})
  else()
    target_link_options(${target} PRIVATE /STACK:${bytes})
  endif()
endfunction()
