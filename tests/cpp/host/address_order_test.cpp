// Completion of network numbers and unsigned ordering for addressCompare.
#include "address_order.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using address_order::compareHostOrder;
using address_order::completeNetworkNumber;
using address_order::hostOrderValue;
using address_order::kBufferSize;

std::string completed(const std::string& text) {
  char buf[kBufferSize];
  memset(buf, 'x', sizeof buf);
  if (!completeNetworkNumber(text.data(), text.size(), buf)) {
    return "<none:" + std::string(buf) + ">";
  }
  return buf;
}

uint32_t value(const std::string& text) { return hostOrderValue(text.data(), text.size()); }

TEST(CompleteNetworkNumber, AddsOneZeroPartPerMissingDot) {
  EXPECT_EQ(completed("10"), "10.0.0.0");
  EXPECT_EQ(completed("129.144"), "129.144.0.0");
  EXPECT_EQ(completed("192.168.7"), "192.168.7.0");
  EXPECT_EQ(completed("192.168.7.9"), "192.168.7.9");
  EXPECT_EQ(completed("1.2.3.4.5"), "1.2.3.4.5");
  EXPECT_EQ(completed(""), ".0.0.0");
  EXPECT_EQ(completed("..."), "...");
}

// The longest text that fits is 57, 59, 61 or 63 bytes as it has 0, 1, 2 or
// 3+ dots; one byte more leaves an empty buffer and no overflow.
TEST(CompleteNetworkNumber, FitsExactlyUpToTheBufferEnd) {
  struct Case {
    std::string prefix;
    size_t longest;
    std::string suffix;
  };
  for (const Case& c : {Case{"", 57, ".0.0.0"}, Case{"1.", 59, ".0.0"}, Case{"1.2.", 61, ".0"},
                        Case{"1.2.3.", 63, ""}, Case{"1.2.3.4.", 63, ""}}) {
    std::string fits = c.prefix + std::string(c.longest - c.prefix.size(), '7');
    std::string tooLong = fits + "7";
    EXPECT_EQ(completed(fits), fits + c.suffix) << fits;
    EXPECT_EQ(completed(tooLong), "<none:>") << tooLong;
  }
}

TEST(CompleteNetworkNumber, RejectsNullAndEmbeddedNul) {
  char buf[kBufferSize] = "junk";
  EXPECT_FALSE(completeNetworkNumber(nullptr, 0, buf));
  EXPECT_STREQ(buf, "");
  const std::string withNul("10\0.1", 5);
  EXPECT_EQ(completed(withNul), "<none:>");
  EXPECT_EQ(completed(std::string(100000, '.')), "<none:>");
}

TEST(HostOrderValue, ReadsCompletedTextInHostOrder) {
  EXPECT_EQ(value("10"), 0x0A000000u);
  EXPECT_EQ(value("129.144"), 0x81900000u);
  EXPECT_EQ(value("10.1.2"), 0x0A010200u);
  EXPECT_EQ(value("192.168.1.1"), 0xC0A80101u);
  EXPECT_EQ(value("0"), 0u);
  // inet_addr's number forms still apply to each part: 010 is octal.
  EXPECT_EQ(value("010.0x10"), 0x08100000u);
}

TEST(HostOrderValue, UnparsableTextIsAllOnes) {
  EXPECT_EQ(value("255.255.255.255"), INADDR_NONE);
  EXPECT_EQ(value("host.example"), INADDR_NONE);
  EXPECT_EQ(value("256"), INADDR_NONE);
  EXPECT_EQ(value("1.2.3.4.5"), INADDR_NONE);
  EXPECT_EQ(hostOrderValue(nullptr, 0), INADDR_NONE);
  EXPECT_EQ(value(std::string("10\0", 3)), INADDR_NONE);
}

TEST(HostOrderValue, LongestTextsStillParse) {
  // Leading zeros make a long but valid (octal) part.
  EXPECT_EQ(value(std::string(55, '0') + "10"), 0x08000000u);
  EXPECT_EQ(value(std::string(56, '0') + "10"), INADDR_NONE);
  EXPECT_EQ(value("1.2.3." + std::string(56, '0') + "4"), 0x01020304u);
  EXPECT_EQ(value("1.2.3." + std::string(57, '0') + "4"), INADDR_NONE);
}

TEST(CompareHostOrder, IsUnsigned) {
  EXPECT_EQ(compareHostOrder(value("10"), value("10.0.0.1")), -1);
  EXPECT_EQ(compareHostOrder(value("129.144"), value("129.144.0.0")), 0);
  EXPECT_EQ(compareHostOrder(value("192.168.1.1"), value("10.0.0.1")), 1);
  EXPECT_EQ(compareHostOrder(value("128.0.0.0"), value("127.255.255.255")), 1);
  EXPECT_EQ(compareHostOrder(value("junk"), value("255.255.255.254")), 1);
  EXPECT_EQ(compareHostOrder(value("junk"), value("255.255.255.255")), 0);
  EXPECT_EQ(compareHostOrder(0u, 0xFFFFFFFFu), -1);
}

}  // namespace
