#include <gtest/gtest.h>

#include "error/error.hpp"

namespace qv {
namespace {

TEST(ErrorRender, PayloadsAppearWhereTheMessageSaysAndNowhereElse) {
    EXPECT_EQ(render(Error::bad_length("secretstream header", 24, 23)),
              "secretstream header: expected 24 bytes, got 23 \u00b7 esperava 24 bytes, recebeu 23");
    EXPECT_EQ(render(Error::malformed("json field")), "malformed json field \u00b7 json field malformado");
    EXPECT_EQ(render(Error::unsupported("x")),
              "x is not supported on this platform \u00b7 x n\u00e3o \u00e9 suportado nesta plataforma");
    const std::string negative = render(Error::lock_required(-3));
    EXPECT_NE(negative.find("(errno -3) and"), std::string::npos);
    EXPECT_NE(negative.find("(errno -3) com"), std::string::npos);
}

}  // namespace
}  // namespace qv
