// The class library's exceptions and the barrier that stops them at Windows' frames.
#pragma once

#include <string>

// Base of every exception the class library throws. The message is 8-bit text
// in the system code page.
class Exception {
public:
    explicit Exception(std::string message = std::string()) : message_(std::move(message)) {}
    virtual ~Exception() = default;

    const std::string& Message() const { return message_; }

private:
    std::string message_;
};

// A resource id that the module does not hold.
class EResNotFound : public Exception {
public:
    using Exception::Exception;
};

// A picture that cannot be decoded.
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

// A registry value of the wrong type or a failed registry write.
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

// An ini file that cannot be written.
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

// Call only inside a catch block: shows the exception being handled the way the
// event dispatch shows it (a library Exception with its message, anything else
// as an Exception with an empty message). The i686 compiler cannot unwind
// through Windows' frames, so every window procedure and every callback that
// Windows calls ends in this barrier.
void ShowCurrentException();

// Runs body and stops any exception it throws with ShowCurrentException.
// Returns false when an exception was stopped.
template <class Body>
bool RunGuarded(Body&& body)
{
    try {
        body();
        return true;
    } catch (...) {
        ShowCurrentException();
        return false;
    }
}
