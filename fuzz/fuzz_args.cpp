// Command-line parser against arbitrary argument vectors: the input is split
// at zero bytes into argv[1..]. The parser must neither crash nor read past
// the vector, whatever options, values or missing values it meets.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "run/args.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Usage texts and option errors are expected output; keep the fuzzer's
    // own report readable.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words = {"zolk_qex"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty()) {
        words.push_back(word);
    }
    // Each word in its own allocation, so reading past one shows.
    std::vector<std::vector<char>> storage;
    storage.reserve(words.size());
    std::vector<char*> argv;
    for (const std::string& w : words) {
        storage.emplace_back(w.begin(), w.end());
        storage.back().push_back('\0');
        argv.push_back(storage.back().data());
    }
    argv.push_back(nullptr);

    ZOLKArgs args;
    ParseArgs(static_cast<int>(words.size()), argv.data(), &args);
    return 0;
}
