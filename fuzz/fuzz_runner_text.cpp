// Arbitrary input scripts (kivo-run --input) and runner arguments: the same bytes parsed as a
// script, and split at spaces, tabs and line ends into the words of a command line.
#include <string>
#include <vector>

#include "cli/input_script.h"
#include "cli/run_args.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kivo::cli;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<InputEvent> events;
    std::string error;
    if (ParseInputScript(text, &events, &error)) {
        for (std::size_t i = 1; i < events.size(); ++i) {
            if (events[i].frame < events[i - 1].frame) __builtin_trap();
        }
        for (const InputEvent& e : events) {
            if (e.button < 0 || e.button > 7) __builtin_trap();
        }
    } else if (error.empty()) {
        __builtin_trap();  // a refused script always says why
    }
    std::vector<std::string> words;
    std::string word;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\0') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    RunArgs args;
    error.clear();
    if (ParseRunArgs(words, &args, &error)) {
        // --help and --version skip the checks of a run's options.
        const bool checked = !args.help && !args.version;
        if (checked && args.demo == !args.rom.empty()) __builtin_trap();
        if (checked && args.slices && args.frames) __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();
    }
    return 0;
}
