# Starts the terminal, lets it quit from its event loop and checks the exit line.
string(REPLACE "|" ";" emulator "${KAVREL_EMULATOR}")
execute_process(COMMAND ${emulator} ${KAVREL} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kavrel exited with ${rc}\n${out}\n${err}")
endif()
if(NOT out MATCHES "DEBUG \\[[0-9]+\\] \\[runKavrel@[0-9]+\\] Application Exit, return code:0\n")
  message(FATAL_ERROR "no exit line in:\n${out}")
endif()
