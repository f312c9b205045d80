# Runs json-check on one file and compares its exit code and output.
#   cmake -DTOOL=... [-DINPUT=...] -DEXPECT_CODE=... [-DEXPECT_STDOUT_FILE=...]
#         [-DEXPECT_STDERR=...] -P run_json_check.cmake
# Standard output must equal the contents of EXPECT_STDOUT_FILE byte for byte;
# EXPECT_STDERR must occur in the error output.
if(DEFINED INPUT)
  execute_process(COMMAND "${TOOL}" "${INPUT}" RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
else()
  execute_process(COMMAND "${TOOL}" RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
endif()
if(NOT code STREQUAL EXPECT_CODE)
  message(FATAL_ERROR "exit code ${code}, expected ${EXPECT_CODE}\nstdout: ${out}\nstderr: ${err}")
endif()
if(DEFINED EXPECT_STDOUT_FILE)
  file(READ "${EXPECT_STDOUT_FILE}" expected_out)
  if(NOT out STREQUAL expected_out)
    message(FATAL_ERROR "stdout:\n${out}\nexpected:\n${expected_out}")
  endif()
endif()
if(DEFINED EXPECT_STDERR)
  string(FIND "${err}" "${EXPECT_STDERR}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "stderr:\n${err}\nexpected to contain:\n${EXPECT_STDERR}")
  endif()
endif()
