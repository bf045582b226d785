// For the power-cut test: records new session folders in the ledger as fast
// as it can until it is killed.   ledger_writer <ledger.csv> <storage root> <first index>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ledger.h"

int main(int argc, char** argv)
{
    if (argc != 4 || !std::freopen("/dev/null", "w", stdout))  // its log lines would drown the test's output
        return 2;
    const std::string root = argv[2];
    dataset_ledger manager;
    manager.open(argv[1], root);
    for (long index = std::stol(argv[3]);; ++index) {
        // Names that need quoting, nested like the capture page's.
        const std::string name = "run " + std::to_string(index) + ", \"q\"/task/0/" + std::to_string(index);
        const std::filesystem::path folder = std::filesystem::path(root) / name;
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "frame.png", std::ios::binary) << std::string(64, 'x');
        manager.add_dir_record(name, "采集");
    }
}
