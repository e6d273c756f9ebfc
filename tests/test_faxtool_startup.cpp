// What faxtool loads at start: no PDF or crypto library, whatever it writes.
#include <gtest/gtest.h>

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

TEST(StartUp, NoPdfLibraryIsLoaded)
{
    progrun::temp_dir dir;
    const std::string fax = kExamples + "/sample_mmr.fax";
    for (const std::string &arguments : {std::string("--version"), "info " + fax, "export -t tiff -o p.tif " + fax,
                                         "export -t pbm -o p.pbm " + fax, "export -t pdf -o p.pdf " + fax}) {
        const std::string loaded = loaded_by(arguments, dir);
        ASSERT_NE(loaded.find("libc.so"), std::string::npos) << "no loader trace for " << arguments;
        EXPECT_EQ(loaded.find("libqpdf"), std::string::npos) << arguments;
        EXPECT_EQ(loaded.find("gnutls"), std::string::npos) << arguments;
    }
    const bytes pdf = progrun::read_file(dir.file("p.pdf"));
    ASSERT_GT(pdf.size(), 5u);
    EXPECT_EQ(std::string(pdf.begin(), pdf.begin() + 5), "%PDF-");
}

}  // namespace
