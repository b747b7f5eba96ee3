#pragma once
// Base of every exception of the code base. Log lines print "ClassName: message",
// so each class reports its own declared name (not a compiler-mangled one).
#include <cstdarg>
#include <exception>
#include <string>

namespace zel {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    // Message in UTF-8.
    const std::string& Message() const noexcept { return message_; }
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string message_;
};

// Declares `class Name : public Parent` with the parent's constructors and its own class name.
#define ZEL_DECLARE_EXCEPTION(Name, Parent)                                      \
    class Name : public Parent {                                                 \
    public:                                                                      \
        using Parent::Parent;                                                    \
        const char* ClassName() const noexcept override { return #Name; }        \
    }

// Class name for any caught exception: the declared name of ours, else a generic one.
const char* ExceptionClassName(const std::exception& e) noexcept;

// printf-style formatting into a std::string (message texts of the system use %d, %s, %u).
std::string FormatA(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatVA(const char* fmt, va_list args);

}  // namespace zel
