# Makes the one-file page: the template with the tool's JavaScript module,
# its WebAssembly in base64 and the page's script written into it.
#   cmake -DTEMPLATE=... -DMODULE=... -DWASM_BASE64=... -DPAGE=... -DOUTPUT=... -P assemble.cmake
file(READ "${TEMPLATE}" html)
file(READ "${MODULE}" module)
file(READ "${WASM_BASE64}" wasm)
file(READ "${PAGE}" page)
string(STRIP "${wasm}" wasm)
foreach(part module page)
  if("${${part}}" MATCHES "</script")
    message(FATAL_ERROR "the ${part} would end its script element early")
  endif()
endforeach()
string(REPLACE "@KESTRUNE_MODULE@" "${module}" html "${html}")
string(REPLACE "@KESTRUNE_WASM@" "${wasm}" html "${html}")
string(REPLACE "@KESTRUNE_PAGE@" "${page}" html "${html}")
file(WRITE "${OUTPUT}" "${html}")
