# Turns a mingw-w64 import library into a delay-import library for the same
# DLL: the exe then has no start-up import of it, and the DLL is loaded on the
# first call through LoadLibrary, which obeys SetDefaultDllDirectories. Every
# function of the original library is listed, so a newly used call can never
# fall back to a plain import.
#   cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIB=libx.a -DDLL=x.dll -DOUTPUT=dir/libx.a -P delay-import-lib.cmake
execute_process(COMMAND ${NM} -g --defined-only ${IMPORT_LIB}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${IMPORT_LIB}")
endif()
# Each function has a thunk ("T name") beside its "__imp_" pointer; data
# exports have no thunk and cannot be delay-loaded anyway.
string(REGEX MATCHALL "[0-9a-fA-F]+ T [^\r\n]+" thunks "${symbols}")
set(def "LIBRARY ${DLL}\nEXPORTS\n")
set(count 0)
foreach(line IN LISTS thunks)
  string(REGEX REPLACE "^[0-9a-fA-F]+ T " "" name "${line}")
  string(APPEND def "${name}\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no functions found in ${IMPORT_LIB}")
endif()
file(WRITE ${OUTPUT}.def "${def}")
# dlltool names the archive members and the import descriptor's symbols after
# the output path as given: run it beside the output with the bare name, so
# the build folder's path stays out of the library and the exe.
get_filename_component(output_dir ${OUTPUT} DIRECTORY)
get_filename_component(output_name ${OUTPUT} NAME)
execute_process(COMMAND ${DLLTOOL} --input-def ${output_name}.def --dllname ${DLL} --output-delaylib ${output_name}
  WORKING_DIRECTORY ${output_dir}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not write ${OUTPUT}")
endif()
