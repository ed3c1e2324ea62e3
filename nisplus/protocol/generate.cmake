# Runs rpcgen on a build-time copy of nis.x (see CMakeLists.txt).
file(READ "${NIS_X}" text)
string(REGEX REPLACE "\\\\\n" "" text "${text}")
string(REGEX REPLACE "%#include <rpcsvc/nislib.h>[^\n]*\n" "" text "${text}")
file(WRITE "${GEN_DIR}/nis_prot.x" "${text}")
get_filename_component(src_dir "${NIS_X}" DIRECTORY)
configure_file("${src_dir}/nis_object.x" "${GEN_DIR}/nis_object.x" COPYONLY)
execute_process(COMMAND "${RPCGEN}" -h -o nis_prot.h nis_prot.x
                WORKING_DIRECTORY "${GEN_DIR}" RESULT_VARIABLE r1)
execute_process(COMMAND "${RPCGEN}" -c -o nis_prot_xdr.c nis_prot.x
                WORKING_DIRECTORY "${GEN_DIR}" RESULT_VARIABLE r2)
if(NOT r1 EQUAL 0 OR NOT r2 EQUAL 0)
  message(FATAL_ERROR "rpcgen failed on ${NIS_X}")
endif()
