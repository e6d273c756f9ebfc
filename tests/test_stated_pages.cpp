#include "faxfile/stated_pages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

namespace {

struct header_deleter {
    void operator()(fax_header *h) const { free_fax_header(h); }
};

stated_pages stated(const char *value)
{
    std::unique_ptr<fax_header, header_deleter> h(new_fax_header("RESOLUTION", "1"));
    if (value != nullptr)
        set_fax_header_av(h.get(), "#PAGES", value);
    return read_stated_pages(h.get());
}

// The converters read the count leniently (the number a damaged value starts
// with), the inspecting tools only when the value is that number alone.
TEST(StatedPages, LenientAndExactReadingsOfOneParse)
{
    struct row {
        const char *value;
        bool present;
        long leading;
        bool exact;
    };
    for (const row &r : {row{nullptr, false, 0, false}, row{"3", true, 3, true},
                         row{"  12 \t\r", true, 12, true}, row{"0", true, 0, true},
                         row{"7 pages", true, 7, false}, row{"", true, 0, false},
                         row{"x", true, 0, false}, row{"-2", true, -2, false}}) {
        const stated_pages s = stated(r.value);
        const std::string where = r.value != nullptr ? r.value : "(absent)";
        EXPECT_EQ(s.present, r.present) << where;
        EXPECT_EQ(s.leading, r.leading) << where;
        EXPECT_EQ(s.exact, r.exact) << where;
    }
}

TEST(StatedPages, OutOfRangeIsNeverExactAndLeavesErrnoAlone)
{
    errno = EINTR;
    const stated_pages s = stated("99999999999999999999999");
    EXPECT_EQ(errno, EINTR);
    EXPECT_FALSE(s.exact);
    EXPECT_GT(s.leading, 0);  // the lenient reading still promises pages
}

}  // namespace
