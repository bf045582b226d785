# 100 files of 100 KB through a delaying, rate-limiting link of ours: our
# uploader, rclone and s3cmd, over http and https.
add_executable(bench_upload_link ${CMAKE_CURRENT_LIST_DIR}/bench_upload_link.cpp
  ${PROJECT_SOURCE_DIR}/tests/storage/LinkProxy.cpp)
target_include_directories(bench_upload_link PRIVATE ${PROJECT_SOURCE_DIR}/tests/storage)
target_link_libraries(bench_upload_link PRIVATE kavrel_storage kavrel_log)
target_compile_definitions(bench_upload_link PRIVATE
  S3_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/tests/storage/s3_server.sh")
