# Makes the one-file page: the layout, the page's scripts, and the source of
# its worker (the tool's JavaScript module, its WebAssembly in base64, the
# zip library and the worker's scripts), which the page starts from a blob;
# COMPILED_IN is the licence of libdeflate, which the WebAssembly holds.
#   cmake -DTEMPLATE=... -DMODULE=... -DWASM_BASE64=... -DLIBRARIES="zip.js"
#         -DWORKER="a.js;b.js" -DPAGE="c.js;d.js" -DCOMPILED_IN=COPYING -DOUTPUT=... -P assemble.cmake
foreach(library ${LIBRARIES})
  if(NOT EXISTS "${library}")
    message(FATAL_ERROR "A library the page carries is missing: run `npm ci` in web/ (${library}).")
  endif()
endforeach()
function(read_all out)
  set(text "")
  foreach(file ${ARGN})
    file(READ "${file}" part)
    string(APPEND text "${part}\n")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
# Our scripts without the lines that are only comments, which the sources
# keep for their readers and the page need not carry.
function(read_scripts out)
  read_all(text ${ARGN})
  string(REGEX REPLACE "\n[ \t]*//[^\n]*" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
file(READ "${TEMPLATE}" html)
file(READ "${WASM_BASE64}" wasm)
string(STRIP "${wasm}" wasm)
# Each library's licence asks that its notice go with every copy: each
# goes before its code, from the LICENSE its package keeps beside the folder
# of the script.
file(READ "${COMPILED_IN}" licence)
set(libraries "/* libdeflate, compiled into the WebAssembly below, under this licence:\n${licence}*/\n")
foreach(library ${LIBRARIES})
  get_filename_component(folder "${library}" DIRECTORY)
  get_filename_component(package "${folder}/.." ABSOLUTE)
  get_filename_component(name "${package}" NAME)
  file(READ "${package}/LICENSE" licence)
  file(READ "${library}" code)
  string(APPEND libraries "/* ${name}, under this licence:\n${licence}*/\n${code}\n")
endforeach()
read_all(module "${MODULE}")
read_scripts(worker ${WORKER})
set(worker "${module}${worker}")
set(worker "${libraries}${worker}")
set(worker "const KESTRUNE_WASM = \"${wasm}\";\n${worker}")
read_scripts(page ${PAGE})
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
