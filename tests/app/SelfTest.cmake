# kavrel --self-test in a scratch working directory (no card: the session goes
# below it) with the demo configuration as HOME. It must write a session that
# kavrel-check passes; with the camera absent it must fail and write none.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/home ${WORK}/card ${WORK}/absent)
file(COPY ${DEMO_HOME}/ DESTINATION ${WORK}/home)
# A smaller picture keeps a loaded test machine at the camera's pace.
set(config ${WORK}/home/.config/kavrel/config.yaml)
file(READ ${config} text)
string(REPLACE "width: 1280" "width: 640" text "${text}")
string(REPLACE "height: 720" "height: 480" text "${text}")
file(WRITE ${config} "${text}")
set(ENV{HOME} ${WORK}/home)

execute_process(COMMAND ${KAVREL} --self-test WORKING_DIRECTORY ${WORK}/card
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 180)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kavrel --self-test exited with ${rc}\n${out}\n${err}")
endif()
file(GLOB_RECURSE metas ${WORK}/card/*/meta.yaml)
list(LENGTH metas count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "want one session below the working directory, found ${count}\n${out}")
endif()
execute_process(COMMAND ${KAVREL_CHECK} ${WORK}/card OUTPUT_VARIABLE checked RESULT_VARIABLE rc TIMEOUT 120)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kavrel-check does not pass the self-test's session:\n${checked}")
endif()

set(ENV{KAVREL_SIM_CAMERA_ABSENT} always)
execute_process(COMMAND ${KAVREL} --self-test WORKING_DIRECTORY ${WORK}/absent
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 180)
if(rc EQUAL 0 OR NOT out MATCHES "self-test: FAILED: the depth camera delivered nothing")
  message(FATAL_ERROR "without a camera kavrel --self-test exited with ${rc}\n${out}\n${err}")
endif()
file(GLOB_RECURSE metas ${WORK}/absent/*/meta.yaml)
if(metas)
  message(FATAL_ERROR "without a camera the self-test wrote ${metas}")
endif()
