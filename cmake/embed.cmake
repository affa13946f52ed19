# nickit_embed_binary(TARGET SYMBOL FILE): compiles FILE into TARGET as
#   extern const unsigned char SYMBOL[]; extern const unsigned long SYMBOL_size;
function(nickit_embed_binary target symbol file)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${symbol}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=${out} -DSYMBOL=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/bin2cpp.cmake
    DEPENDS ${file} ${PROJECT_SOURCE_DIR}/cmake/bin2cpp.cmake
    COMMENT "Embedding ${file} as ${symbol}")
  target_sources(${target} PRIVATE ${out})
endfunction()
