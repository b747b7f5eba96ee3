#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_types.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zel {
namespace {

TEST(Exception, ClassNameIsTheDeclaredNameAndParentsCatch) {
    EXPECT_THROW(
        try { throw EWaiterTooLargeTime(FormatA("Timeout is too large: %u", 5u)); } catch (
            const EWaiterException& e) {
            EXPECT_STREQ(e.ClassName(), "EWaiterTooLargeTime");
            EXPECT_EQ(e.Message(), "Timeout is too large: 5");
            EXPECT_STREQ(ExceptionClassName(e), "EWaiterTooLargeTime");
            throw;
        },
        EWaiterException);
    EXPECT_STREQ(ExceptionClassName(std::runtime_error("x")), "Exception");
}

TEST(Exception, FormatHandlesLongTexts) {
    std::string long_arg(1000, 'a');
    EXPECT_EQ(FormatA("<%s>", long_arg.c_str()), "<" + long_arg + ">");
    EXPECT_EQ(FormatA("%d:%s", -3, "x"), "-3:x");
}

}  // namespace
}  // namespace zel
