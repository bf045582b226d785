# Verifies 200 objects of 500 KB in a local S3 server with kavrel-fleet's verify and with s3cmd get + sha256sum.
add_executable(bench_fleet_verify ${CMAKE_CURRENT_LIST_DIR}/bench_fleet_verify.cpp)
target_link_libraries(bench_fleet_verify PRIVATE kavrel_fleet kavrel_storage kavrel_log)
target_compile_definitions(bench_fleet_verify PRIVATE
  S3_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/tests/storage/s3_server.sh")
