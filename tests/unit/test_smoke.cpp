#include <gtest/gtest.h>
#include "log/log.h"
TEST(SocketErrorName, KnownAndUnknown) {
    EXPECT_STREQ(SocketErrorName(10061), "WSAECONNREFUSED");
    EXPECT_STREQ(SocketErrorName(0), "unknown");
}
