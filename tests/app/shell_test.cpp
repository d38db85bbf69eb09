#include <gtest/gtest.h>

#include "fixtures.h"
#include "modal.h"
#include "resource.h"
#include "shell.h"
#include "wndproc.h"

TEST(EventNoticeText, UnknownCodesSayIDontKnow)
{
    EXPECT_STREQ("I don't know", EventNoticeText(0));
    EXPECT_STREQ("I don't know", EventNoticeText(6));
    EXPECT_STREQ("I don't know", EventNoticeText(7));
    EXPECT_STREQ("I don't know", EventNoticeText(13));
    EXPECT_STREQ("I don't know", EventNoticeText(0xFFFFFFFFu));
    EXPECT_STREQ("USB board plugged on again", EventNoticeText(12));
    EXPECT_STREQ("HBX is on again", EventNoticeText(1));
}
