# Makes the one-file page: the layout, the page's scripts, and the source of
# its worker (the tool's JavaScript module, its WebAssembly in base64, the
# zip library and the worker's scripts), which the page starts from a blob.
#   cmake -DTEMPLATE=... -DMODULE=... -DWASM_BASE64=... -DZIP_LIBRARY=...
#         -DWORKER="a.js;b.js" -DPAGE="c.js;d.js" -DOUTPUT=... -P assemble.cmake
if(NOT EXISTS "${ZIP_LIBRARY}")
  message(FATAL_ERROR "The page's zip library is missing: run `npm ci` in web/ (${ZIP_LIBRARY}).")
endif()
function(read_all out)
  set(text "")
  foreach(file ${ARGN})
    file(READ "${file}" part)
    string(APPEND text "${part}\n")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
file(READ "${TEMPLATE}" html)
file(READ "${WASM_BASE64}" wasm)
string(STRIP "${wasm}" wasm)
# The zip library's licence asks that its notice go with every copy.
get_filename_component(zip_folder "${ZIP_LIBRARY}" DIRECTORY)
file(READ "${zip_folder}/../LICENSE" zip_licence)
read_all(worker "${MODULE}" "${ZIP_LIBRARY}" ${WORKER})
set(worker "/* The zip writer below is fflate, under this licence:\n${zip_licence}*/\n${worker}")
set(worker "const KESTRUNE_WASM = \"${wasm}\";\n${worker}")
read_all(page ${PAGE})
foreach(part worker page)
  # Either would end its script element early, or make the parser look for
  # a second end.
  if("${${part}}" MATCHES "</[sS][cC][rR][iI][pP][tT]|<!--")
    message(FATAL_ERROR "the ${part} would end its script element early")
  endif()
endforeach()
string(REPLACE "@KESTRUNE_WORKER@" "${worker}" html "${html}")
string(REPLACE "@KESTRUNE_PAGE@" "${page}" html "${html}")
file(WRITE "${OUTPUT}" "${html}")
