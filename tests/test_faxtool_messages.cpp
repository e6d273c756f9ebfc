// faxtool's diagnostics: what a user is told, and how often.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/faxtool_harness.h"

namespace {

using namespace faxtooltest;

const std::string kSample = std::string(EXAMPLES_DIR) + "/sample.fax";

TEST(ExportMessages, EmptyPageListIsAUsageError)
{
    progrun::temp_dir dir;
    progrun::result r = faxtool({"export", "-p", "", "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "faxtool: export: bad page list ''");
    EXPECT_TRUE(dir.entries().empty());
}

TEST(ExportMessages, RunOfMissingPagesIsOneLine)
{
    progrun::temp_dir dir;
    progrun::result r = faxtool({"export", "-p", "5,3-1000000,1", "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + kSample + ": no pages 3-1000000\n");
    r = faxtool({"export", "-p", "3,5-6,2", "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.err, "faxtool: " + kSample + ": no page 3\nfaxtool: " + kSample + ": no pages 5-6\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"p-1.png", "p-2.png"}));
}

// Each listed page is held; a list of many long ranges must not eat memory.
TEST(ExportMessages, PageListOfMoreThanAMillionPagesIsRefused)
{
    progrun::temp_dir dir;
    std::string list = "1-900000";
    for (int i = 1; i < 1000; ++i)
        list += "," + std::to_string(i * 1000000) + "-" + std::to_string(i * 1000000 + 999999);
    progrun::result r = faxtool({"export", "-p", list, "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(dir.entries().empty());
    // Pages named twice count once.
    r = faxtool({"export", "-p", "999990-1000000,1-1000000,2-5,500000-600000", "-o", dir.file("p"), kSample});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + kSample + ": no pages 3-1000000\n");
    r = faxtool({"export", "-p", "2-1000000,1000001,1", "-o", dir.file("q"), kSample});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "faxtool: export: bad page list '2-1000000,1000001,1'");
}

TEST(ExportMessages, FailedTiffSaysWhyOnce)
{
    progrun::temp_dir dir;
    const std::string out = dir.file("pages.tif");
    progrun::result r =
        shell("ulimit -f 1; exec " + std::string(FAXTOOL_PATH) + " export -o " + out + " " + kSample);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + out + ": File too large\n");
}

TEST(ExportMessages, UnknownCompressionNamesTheHeaderValue)
{
    progrun::temp_dir dir;
    const std::string fax = dir.file("odd.fax");
    const page p{"one", {testpages::white_line()}};
    progrun::write_file(fax, faxbuilder::fax_file("RESOLUTION:0\nCOMPRESSION:7\n#PAGES:1\n",
                                                  {faxbuilder::mh_page(p, true)}));
    const std::string expected = "faxtool: " + fax + ": unknown compression '7'\n";
    progrun::result r = faxtool({"info", fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
    r = faxtool({"export", "-o", dir.file("odd"), fax});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
}

TEST(StandardOutput, FullOutputFailsEvenForHelp)
{
    const std::string tool = FAXTOOL_PATH;
    progrun::result r = shell(tool + " --help > /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: cannot write standard output: No space left on device\n");
    r = shell(tool + " export -o - " + kSample + " > /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: standard output: No space left on device\n");
}

TEST(ImportMessages, DirectoryIsNotCalledAnImage)
{
    progrun::temp_dir dir;
    progrun::result r = faxtool({"import", "-o", dir.file("out.fax"), dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + dir.path + ": Is a directory\n");
    EXPECT_TRUE(dir.entries().empty());
}

// File names are bytes; JSON gets them back exactly, UTF-8 left readable.
TEST(InfoMessages, InputWithoutTheMagicIsRefusedFromItsFirstBytes)
{
    // Read whole, an endless device never ended and a large file of
    // another kind took its size in memory before the refusal: a pipe that
    // stays open after its first bytes tells.
    for (const char *command : {"info", "export -t pbm -o /dev/null"}) {
        const progrun::result r = shell("(printf 'GIF89a..'; exec sleep 8) | timeout 5 " + std::string(FAXTOOL_PATH) +
                                        " " + command + " /dev/stdin");
        EXPECT_EQ(r.status, 1) << command << ": " << r.err;
        EXPECT_EQ(r.err, "faxtool: /dev/stdin: Bad fax file: Bad Magic Number\n") << command;
    }
}

TEST(NamesInJson, Utf8StaysAndOtherBytesBecomeSurrogateEscapes)
{
    progrun::temp_dir dir;
    const bytes sample = progrun::read_file(kSample);
    const std::string umlaut = "M\xc3\xbcller.fax";
    const std::string odd = "bad\xff\xc3(\xed\xa0\x80\n\x1b\x7f\".fax";
    for (const std::string &name : {umlaut, odd})
        progrun::write_file(dir.file(name), sample);
    auto starts = [](const std::string &text, const std::string &start) {
        return text.substr(0, start.size()) == start;
    };
    progrun::result r = faxtool({"info", "--json", umlaut}, dir.path);
    EXPECT_TRUE(starts(r.out, "{\"file\": \"M\xc3\xbcller.fax\", ")) << r.out;
    r = faxtool({"info", "--json", odd}, dir.path);
    EXPECT_TRUE(starts(r.out, "{\"file\": \"bad\\udcff\\udcc3(\\udced\\udca0\\udc80\\u000a\\u001b\\u007f\\\".fax\", "))
        << r.out;
    if (!have_tool("python3", "python3"))
        return;
    // An independent JSON reader decodes the escapes back to the name's bytes.
    progrun::write_file(dir.file("line.json"), bytes(r.out.begin(), r.out.end()));
    r = shell("python3 -c 'import json,os,sys; "
              "sys.stdout.buffer.write(os.fsencode(json.load(open(\"line.json\"))[\"file\"]))'",
              dir.path);
    EXPECT_EQ(r.out, odd) << r.err;
}

// A name can neither split a message line nor drive the terminal.
TEST(NamesInMessages, ControlCharactersAreQuoted)
{
    progrun::temp_dir dir;
    const std::string name = dir.file("x\ny\x1b[2J\t\r\xc2\x9b\xff.fax");
    const std::string shown = dir.path + "/x\\ny\\x1b[2J\\t\\r\\xc2\\x9b\\xff.fax";
    progrun::result r = faxtool({"info", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "faxtool: " + shown + ": No such file or directory\n");
    r = faxtool({"export", "-o", name + "/p", kSample});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    std::string line;
    for (char c : r.err) {  // every line a whole message
        if (c != '\n') {
            line += c;
            continue;
        }
        EXPECT_EQ(line.substr(0, 9 + dir.path.size()), "faxtool: " + dir.path) << r.err;
        line.clear();
    }
    EXPECT_EQ(line, "");
    r = faxtool({"info", "--\x1b[2J"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "faxtool: info: unknown option '--\\x1b[2J'");
    // UTF-8 names stay readable.
    r = faxtool({"info", dir.file("M\xc3\xbcller.fax")});
    EXPECT_EQ(r.err, "faxtool: " + dir.path + "/M\xc3\xbcller.fax: No such file or directory\n");

    // The listing on standard output: a name and a hostile header alike.
    const std::string header = "RESOLUTION:\x1b[2J\rM\xc3\xbc\nCOMPRESSION:3\n\x1d";
    const std::string fax = std::string("\xba\xdb\xad\x16\0\0\0", 7) + static_cast<char>(header.size()) + header +
                            std::string("\0\0\0\x03\x00\x10\x01", 7);
    progrun::write_file(name, bytes(fax.begin(), fax.end()));
    r = faxtool({"info", name});
    EXPECT_EQ(r.out.substr(0, r.out.find("  COMPRESSION")), shown + "\n  RESOLUTION: \\x1b[2J\\rM\xc3\xbc\n");
}

}  // namespace
