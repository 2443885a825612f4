# ze_embed(TARGET SYMBOL FILE): links the bytes of FILE into TARGET as the
# read-only arrays SYMBOL and SYMBOL_end (one past the last byte), through
# the assembler's .incbin, which works the same for native and cross builds.
function(ze_embed target symbol file)
  set(asm "${CMAKE_CURRENT_BINARY_DIR}/embed_${symbol}.S")
  file(WRITE "${asm}.in"
"  .section .rodata
  .global ${symbol}
  .type ${symbol}, %object
  .balign 16
${symbol}:
  .incbin \"${file}\"
  .global ${symbol}_end
${symbol}_end:
  .byte 0
  .section .note.GNU-stack,\"\",%progbits
")
  configure_file("${asm}.in" "${asm}" COPYONLY)
  set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${file}")
  target_sources(${target} PRIVATE "${asm}")
endfunction()
