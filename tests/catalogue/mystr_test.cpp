// Blank trimming and string storing of the catalogue's string helpers.
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "camapi.h"

namespace {

struct TrimCase {
    const char* in;
    const char* left;   // after trim_l
    const char* right;  // after trim_r
    const char* both;   // after trim
};

const TrimCase kTrimCases[] = {
    {"\t a b \t", "a b \t", "\t a b", "a b"},
    {"    ", "", "", ""},
    {"", "", "", ""},
    {"\t", "", "", ""},
    {"x", "x", "x", "x"},
    {"line\n", "line\n", "line\n", "line\n"},  // a line feed is not a blank
    {" \r\v\f ", "\r\v\f ", " \r\v\f", "\r\v\f"},
    {"a\t \tb", "a\t \tb", "a\t \tb", "a\t \tb"},  // inner blanks stay
};

// Names the case in test listings, blanks and line ends made visible.
void PrintTo(const TrimCase& c, std::ostream* os) {
    *os << '"';
    for (const char* p = c.in; *p; ++p) {
        switch (*p) {
            case '\t':
                *os << "\\t";
                break;
            case '\n':
                *os << "\\n";
                break;
            case '\r':
                *os << "\\r";
                break;
            case '\v':
                *os << "\\v";
                break;
            case '\f':
                *os << "\\f";
                break;
            default:
                *os << *p;
        }
    }
    *os << '"';
}

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesOnlyTabsAndSpacesAtTheEnds) {
    const TrimCase& c = GetParam();
    char buf[32];
    std::strcpy(buf, c.in);
    trim_l(buf);
    EXPECT_STREQ(buf, c.left);
    std::strcpy(buf, c.in);
    trim_r(buf);
    EXPECT_STREQ(buf, c.right);
    std::strcpy(buf, c.in);
    trim(buf);
    EXPECT_STREQ(buf, c.both);
}

INSTANTIATE_TEST_SUITE_P(Cases, Trim, testing::ValuesIn(kTrimCases));

// trim_r must not look before the string: the byte in front stays a blank.
TEST(TrimR, NeverReadsBeforeTheString) {
    char buf[] = "  ";
    trim_r(buf + 1);
    EXPECT_EQ(buf[0], ' ');
    EXPECT_EQ(buf[1], '\0');
}

TEST(SetString, CopiesWholeSourceOrStoresEmpty) {
    char buf[400];
    std::string longText(300, 'p');
    setString(buf, longText.c_str());
    EXPECT_EQ(longText, buf);  // no bound: the caller sizes the destination
    setString(buf, nullptr);
    EXPECT_STREQ(buf, "");
}

}  // namespace
