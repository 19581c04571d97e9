# renamed_copy(<library> <name> <out-var> [objcopy options...])
# Makes a copy of static library <library> with objcopy's options applied
# (such as --redefine-sym old=new), as the custom target <library>_<name>,
# and sets <out-var> to the copy's path for linking.
function(renamed_copy library name out)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/lib${library}_${name}.a)
  add_custom_command(
    OUTPUT ${copy}
    COMMAND ${CMAKE_OBJCOPY} ${ARGN} $<TARGET_FILE:${library}> ${copy}
    DEPENDS ${library}
    VERBATIM)
  add_custom_target(${library}_${name} DEPENDS ${copy})
  set(${out} ${copy} PARENT_SCOPE)
endfunction()
