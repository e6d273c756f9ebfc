// What faxtool loads: no PDF or crypto library, whatever it writes, and
// libtiff or libpng only for a command that reads or writes their format.
#include <gtest/gtest.h>

#include <vector>

#include "tests/faxtool_harness.h"

namespace {

using namespace faxtooltest;

const std::string kExamples = EXAMPLES_DIR;

// The shared objects the dynamic loader opened for one run, as it lists them.
std::string loaded_by(const std::string &arguments, const progrun::temp_dir &dir)
{
    progrun::result r = shell(std::string("LD_DEBUG=libs '") + FAXTOOL_PATH + "' " + arguments + " 2>&1 >/dev/null",
                              dir.path);
    EXPECT_EQ(r.status, 0) << arguments << ":\n" << r.out;
    return r.out;
}

TEST(StartUp, LoadsOnlyTheLibrariesOfTheFormatsItTouches)
{
    progrun::temp_dir dir;
    const std::string fax = kExamples + "/sample_mmr.fax";
    struct expected_load {
        std::string arguments;
        bool tiff, png;
    };
    const std::vector<expected_load> runs = {
        {"--version", false, false},
        {"info " + fax, false, false},
        {"export -t pdf -o p.pdf " + fax, false, false},
        {"export -t pbm -o p.pbm " + fax, false, false},
        {"import -o from-pbm.fax p.pbm", false, false},
        {"export -t tiff -o p.tif " + fax, true, false},
        {"export -t png -o p.png " + fax, false, true},
        {"import -o from-tiff.fax p.tif", true, false},
        {"import -o from-png.fax p-1.png", false, true},
    };
    for (const expected_load &run : runs) {
        const std::string loaded = loaded_by(run.arguments, dir);
        ASSERT_NE(loaded.find("libc.so"), std::string::npos) << "no loader trace for " << run.arguments;
        EXPECT_EQ(loaded.find("libtiff") != std::string::npos, run.tiff) << run.arguments;
        EXPECT_EQ(loaded.find("libpng") != std::string::npos, run.png) << run.arguments;
        EXPECT_EQ(loaded.find("libqpdf"), std::string::npos) << run.arguments;
        EXPECT_EQ(loaded.find("gnutls"), std::string::npos) << run.arguments;
    }
    const bytes pdf = progrun::read_file(dir.file("p.pdf"));
    ASSERT_GT(pdf.size(), 5u);
    EXPECT_EQ(std::string(pdf.begin(), pdf.begin() + 5), "%PDF-");
    // Every import read its image: the three fax files hold the same pages.
    const bytes from_pbm = progrun::read_file(dir.file("from-pbm.fax"));
    EXPECT_FALSE(from_pbm.empty());
    EXPECT_EQ(progrun::read_file(dir.file("from-tiff.fax")), from_pbm);
}

}  // namespace
