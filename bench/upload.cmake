# Sends 200 files of 500 KB to a local S3 server with our uploader and with s3cmd.
add_executable(bench_upload ${CMAKE_CURRENT_LIST_DIR}/bench_upload.cpp)
target_link_libraries(bench_upload PRIVATE kavrel_storage kavrel_log)
target_compile_definitions(bench_upload PRIVATE
  S3_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/tests/storage/s3_server.sh")
