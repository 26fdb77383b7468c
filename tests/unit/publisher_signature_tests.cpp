#include "transfer/publisher_signature.h"
#include "test_support.h"

#include <vector>

struct SequenceCase {
    const char* what;
    std::vector<unsigned char> der;
    bool valid;
    size_t offset;
};

// The signed content's tag and length are read by hand before its value is
// hashed: every length must stay inside the bytes CryptMsgGetParam gave.
TEST_SUITE("publisher")
{
    TEST_CASE("the signed content's value starts past its SEQUENCE header, which must fill the content exactly")
    {
        std::vector<unsigned char> long200 = {0x30, 0x81, 200};
        long200.resize(3 + 200, 0xAB);
        std::vector<unsigned char> long300 = {0x30, 0x82, 0x01, 0x2C};
        long300.resize(4 + 300, 0xCD);
        const SequenceCase cases[] = {
            {"short form", {0x30, 0x03, 1, 2, 3}, true, 2},
            {"empty value", {0x30, 0x00}, true, 2},
            {"one length byte", long200, true, 3},
            {"two length bytes", long300, true, 4},
            {"not a SEQUENCE", {0x31, 0x03, 1, 2, 3}, false, 0},
            {"shorter than said", {0x30, 0x04, 1, 2, 3}, false, 0},
            {"bytes after the value", {0x30, 0x02, 1, 2, 3}, false, 0},
            {"indefinite length", {0x30, 0x80, 1, 2, 0, 0}, false, 0},
            {"length bytes cut off", {0x30, 0x82, 0x01}, false, 0},
            {"five length bytes", {0x30, 0x85, 0, 0, 0, 0, 1, 9}, false, 0},
            {"a lone tag", {0x30}, false, 0},
            {"nothing", {}, false, 0},
        };
        for (const SequenceCase& c : cases) {
            CAPTURE(c.what);
            size_t offset = 99;
            CHECK(SequenceValueOffset(c.der.data(), c.der.size(), offset) == c.valid);
            CHECK(offset == (c.valid ? c.offset : 99));
        }
    }
}
