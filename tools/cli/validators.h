// validators.h - checks of option values the subcommands share: seconds,
// decimal ranges, file names.
#ifndef TARVOCOIL_TOOLS_CLI_VALIDATORS_H
#define TARVOCOIL_TOOLS_CLI_VALIDATORS_H

#include <cmath>
#include <string>

#include <CLI/CLI.hpp>

namespace tarvotool {

// A plain decimal number (12, 0.5, 1e-3): no hexadecimal, no "inf" or "nan".
inline bool IsDecimal(const std::string& text) {
    if (text.empty()) return false;
    bool digit = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') digit = true;
        else if (c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') return false;
    }
    return digit;
}

// Seconds on the command line: finite and not negative.
struct SecondsValidator : public CLI::Validator {
    explicit SecondsValidator(bool positive) {
        name_ = positive ? "SECONDS>0" : "SECONDS>=0";
        func_ = [positive](std::string& text) -> std::string {
            double v = 0.0;
            if (!IsDecimal(text) || !CLI::detail::lexical_cast(text, v) || !std::isfinite(v))
                return "expected a number of seconds, got '" + text + "'";
            if (positive ? v <= 0.0 : v < 0.0)
                return std::string("expected ") + (positive ? "more than 0" : "0 or more") + " seconds, got " + text;
            return "";
        };
    }
};

// A finite decimal number within [lo, hi].
struct DecimalRange : public CLI::Validator {
    DecimalRange(double lo, double hi) {
        name_ = "RANGE";
        func_ = [lo, hi](std::string& text) -> std::string {
            double v = 0.0;
            if (!IsDecimal(text) || !CLI::detail::lexical_cast(text, v) || !std::isfinite(v) || v < lo || v > hi)
                return "expected a number within [" + CLI::detail::to_string(lo) + ", " + CLI::detail::to_string(hi) +
                       "], got '" + text + "'";
            return "";
        };
    }
};

// File names: an empty one is a mistake, not "the default".
struct NonEmptyPath : public CLI::Validator {
    NonEmptyPath() {
        name_ = "PATH";
        func_ = [](std::string& text) -> std::string { return text.empty() ? "expected a file name, got ''" : ""; };
    }
};

}  // namespace tarvotool

#endif
