#include "controller/cli/command_line.h"

#include <filesystem>

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace {

using Outcome = ql::Parse_result::Outcome;

// Keeps the argument vector alive (with its terminating null) for the parse.
struct Args {
    Args(std::initializer_list<const char*> args) : argv(args) { argv.push_back(nullptr); }
    ql::Parse_result parse() const { return ql::parse_command_line(static_cast<int>(argv.size()) - 1, argv.data()); }
    std::vector<const char*> argv;
};

TEST(Command_line, help_only_as_the_single_argument) {
    EXPECT_EQ(Outcome::help, Args({"quillon", "-h"}).parse().outcome);
    const ql::Parse_result more = Args({"quillon", "-h", "start"}).parse();
    EXPECT_EQ(Outcome::error, more.outcome);
    EXPECT_EQ("-h: invalid command", more.error);
}

TEST(Command_line, too_few_arguments) {
    for (const Args& args : {Args({"quillon"}), Args({"quillon", "start"}), Args({"quillon", "-d"}), Args({})}) {
        const ql::Parse_result result = args.parse();
        EXPECT_EQ(Outcome::error, result.outcome);
        EXPECT_EQ("invalid number of arguments", result.error);
    }
}

TEST(Command_line, command_words_are_exact) {
    for (const char* word : {"START", "Stop", "mount", "rootmount ", ""}) {
        const ql::Parse_result result = Args({"quillon", word, "name"}).parse();
        EXPECT_EQ(Outcome::error, result.outcome) << word;
        EXPECT_EQ(std::string(word) + ": invalid command", result.error);
    }
    for (const char* word : {"start", "stop", "rootmount", "rootumount"}) {
        const ql::Parse_result result = Args({"quillon", word, "name"}).parse();
        ASSERT_EQ(Outcome::run, result.outcome) << word;
        EXPECT_EQ(word, result.command_line.command);
        EXPECT_EQ("name", result.command_line.name);
        EXPECT_FALSE(result.command_line.detached);
        EXPECT_EQ(nullptr, result.command_line.fstype);
        EXPECT_TRUE(result.command_line.mount_requests.empty());
    }
}

TEST(Command_line, mount_requests_in_command_line_order) {
    const ql::Parse_result result = Args({"quillon", "stop", "web", "--bind-mount", "data", "/srv/data", "--umount",
                                          "/mnt/u", "-d", "--bind-mount", "/abs", "/target"})
                                        .parse();
    ASSERT_EQ(Outcome::run, result.outcome);
    const std::vector<ql::Mount_request>& requests = result.command_line.mount_requests;
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("/srv/data", requests[0].target);
    EXPECT_EQ("data", requests[0].source);
    EXPECT_EQ("/mnt/u", requests[1].target);
    EXPECT_EQ("", requests[1].source);
    EXPECT_EQ("/target", requests[2].target);
    EXPECT_EQ("/abs", requests[2].source);
    EXPECT_TRUE(result.command_line.detached);
}

TEST(Command_line, umount_paths_are_absolute_and_refused_by_start) {
    // stop changes its working directory before it unmounts.
    const ql::Parse_result stop = Args({"quillon", "stop", "web", "--umount", "srv/x", "--umount", "/abs"}).parse();
    ASSERT_EQ(Outcome::run, stop.outcome);
    EXPECT_EQ((std::filesystem::current_path() / "srv/x").string(), stop.command_line.mount_requests[0].target);
    EXPECT_EQ("/abs", stop.command_line.mount_requests[1].target);
    const ql::Parse_result start = Args({"quillon", "start", "web", "--umount", "/abs"}).parse();
    EXPECT_EQ(Outcome::error, start.outcome);
    EXPECT_EQ("unknown option --umount", start.error);
}

TEST(Command_line, fstype_last_value_wins_and_last_argument_means_none) {
    const Args twice({"quillon", "rootmount", "/img", "--fstype", "squashfs", "-d", "-d", "--fstype", "ext4"});
    const ql::Parse_result result = twice.parse();
    ASSERT_EQ(Outcome::run, result.outcome);
    // The type is the argument itself, not a copy.
    EXPECT_EQ(twice.argv[8], result.command_line.fstype);
    EXPECT_TRUE(result.command_line.detached);

    const ql::Parse_result last = Args({"quillon", "start", "web", "--fstype", "squashfs", "--fstype"}).parse();
    ASSERT_EQ(Outcome::run, last.outcome);
    EXPECT_EQ(nullptr, last.command_line.fstype);
}

TEST(Command_line, unknown_and_incomplete_options) {
    const struct {
        Args args;
        const char* error;
    } cases[] = {
        {Args({"quillon", "start", "web", "--bind-mount", "/only"}), "unknown option --bind-mount"},
        {Args({"quillon", "start", "web", "--bind-mount"}), "unknown option --bind-mount"},
        {Args({"quillon", "stop", "web", "--umount"}), "unknown option --umount"},
        {Args({"quillon", "stop", "web", "-d", "-x"}), "unknown option -x"},
        {Args({"quillon", "stop", "web", "--umount", "/a", "extra"}), "unknown option extra"},
        // Options of "rootumount" are parsed even though they have no effect.
        {Args({"quillon", "rootumount", "/img", "--bind-mount", "a"}), "unknown option --bind-mount"},
        {Args({"quillon", "start", "web", "-h"}), "unknown option -h"},
    };
    for (const auto& c : cases) {
        const ql::Parse_result result = c.args.parse();
        EXPECT_EQ(Outcome::error, result.outcome) << c.error;
        EXPECT_EQ(c.error, result.error);
    }
}

TEST(Command_line, container_names_for_start_and_stop) {
    const std::string longest(127, 'n');
    for (const std::string& name : {std::string("a"), std::string("9box.v2+x_y-z"), longest,
                                    std::string("Control"), std::string("control2")}) {
        EXPECT_EQ(Outcome::run, Args({"quillon", "stop", name.c_str()}).parse().outcome) << name;
        EXPECT_TRUE(ql::is_valid_container_name(name)) << name;
    }
    const std::string too_long(128, 'n');
    for (const std::string& name : {std::string(""), std::string(" "), std::string("a b"), std::string(":"),
                                    std::string("a:b"), std::string("a,b"), std::string("@x"), std::string("-x"),
                                    std::string(".x"), std::string("_x"), std::string("a/b"), std::string(".."),
                                    std::string("control"), std::string("base-rootfs"), too_long, std::string("caf\xc3\xa9"),
                                    std::string("a\nb")}) {
        for (const char* command : {"start", "stop"}) {
            const ql::Parse_result result = Args({"quillon", command, name.c_str(), "-d"}).parse();
            EXPECT_EQ(Outcome::error, result.outcome) << name;
            EXPECT_EQ(name + ": invalid container name", result.error);
        }
    }
    // The base root file system commands take an image path.
    EXPECT_EQ(Outcome::run, Args({"quillon", "rootmount", "/images/base:1.img"}).parse().outcome);
}

TEST(Usage_text, program_on_the_command_lines) {
    const std::string text = ql::usage_text("./bin/ql");
    EXPECT_EQ(0u, text.find("Usage:\n  ./bin/ql start <container-name> [-d]"));
    EXPECT_NE(std::string::npos, text.find("\n  ./bin/ql stop  <container-name> [-d] [--umount <path>]...\n"));
    EXPECT_NE(std::string::npos,
              text.find("\n  ./bin/ql {rootmount|rootumount} <baseroot-container-name> [--fstype <type>]\nOptions:\n"));
    EXPECT_EQ(13, std::count(text.begin(), text.end(), '\n'));
}

}  // namespace
