#pragma once
// Basic types, exceptions and text routines that every unit stands on.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dmq_exception.hpp"

namespace zel {

// Text inside the system: UTF-16 units. 8-bit text: bytes (may hold NUL).
using UnicodeString = std::u16string;
using AnsiString = std::string;
using UnicodeView = std::u16string_view;
using AnsiView = std::string_view;

using ArrayOfPointers = std::vector<void*>;

enum class TWaiterResult : uint8_t { wr_Timeout, wr_Descriptor, wr_Interrupt, wr_Error };

ZEL_DECLARE_EXCEPTION(ELineLengthTooLong, Exception);
ZEL_DECLARE_EXCEPTION(EWaiterException, Exception);
ZEL_DECLARE_EXCEPTION(EWaiterTooLargeTime, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterNoFreeResources, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterTooManyResources, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterErrorFcntl, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterErrorCreatePipe, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterErrorWritePipe, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterErrorKQueue, EWaiterException);

}  // namespace zel
