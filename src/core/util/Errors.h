#pragma once
// Error types of the core. Each carries the exact message text the program
// reports, so a catcher can log what() as it stands.
#include <stdexcept>
#include <string>

namespace kv {

class KvError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A text that should hold a decimal integer and does not: "'%s' is not a valid integer value".
class ConversionError : public KvError {
public:
    explicit ConversionError(const std::string& value)
        : KvError("'" + value + "' is not a valid integer value") {}
    // The same, naming the settings key that held the value.
    ConversionError(const std::string& value, const std::string& key)
        : KvError(key + ": '" + value + "' is not a valid integer value") {}
};

// A text that should hold a floating-point number and does not.
class FloatConversionError : public KvError {
public:
    explicit FloatConversionError(const std::string& value)
        : KvError("'" + value + "' is not a valid floating point value") {}
};

// Failures of the password cipher ("Error: not a Hex String", ...).
class CipherError : public KvError {
public:
    using KvError::KvError;
};

// The settings file could not be read or replaced.
class IniError : public KvError {
public:
    using KvError::KvError;
};

// A local file or folder operation failed (log write, update script, copy).
class FileError : public KvError {
public:
    using KvError::KvError;
};

} // namespace kv
