#include "upload_transfer.h"

#include <fstream>

#include "Log.h"

bool local_file_check::put_object(const std::string& local_path, const std::string& /*bucket*/,
    const std::string& /*key*/, std::size_t expected_size)
{
    std::ifstream file(local_path, std::ios::binary);
    if (!file.is_open()) {
        LOGE << "upload_file: failed to open file: " << local_path;
        return false;
    }
    file.seekg(0, std::ios::end);
    const auto actual = static_cast<std::size_t>(file.tellg());
    if (expected_size != 0 && expected_size != actual) {
        LOGW << "upload_file: file size mismatch for " << local_path << ", expected: " << expected_size
             << ", actual: " << actual;
    }
    return true;
}
