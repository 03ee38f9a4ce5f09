#include "launcher/grammar.hpp"

#include <gtest/gtest.h>

using ptypilot::env_map;
using ptypilot::launcher::parse_words;
using ptypilot::launcher::split_assignment;
using V = std::vector<std::string>;

TEST(LauncherGrammar, BlocksBeforeTheProgram) {
    auto r = parse_words({"CD", "/tmp", "--", "ls", "-l"});
    EXPECT_EQ(r.working_directory(), "/tmp");
    EXPECT_EQ(r.cmdline, (V{"ls", "-l"}));

    r = parse_words({"CD", "My", "Documents", "--", "ls"});
    EXPECT_EQ(r.working_directory(), "My Documents");

    r = parse_words({"CD", "/a", "--", "CD", "b", "--", "ls"});
    EXPECT_EQ(r.working_directory(), "/a b");

    r = parse_words({"ENV", "A=1", "B=x=y", "C", "=z", "--", "env"});
    EXPECT_EQ(r.env, (env_map{{"A", "1"}, {"B", "x=y"}}));
    EXPECT_EQ(r.cmdline, V{"env"});

    r = parse_words({"ENV", "A=1", "--", "ENV", "A=2", "--", "prog"});
    EXPECT_EQ(r.env, (env_map{{"A", "2"}}));

    r = parse_words({"ENV", "A=", "--", "prog"});
    EXPECT_EQ(r.env, (env_map{{"A", ""}}));
}

TEST(LauncherGrammar, KeywordsAfterTheProgramAreArguments) {
    EXPECT_EQ(parse_words({"--", "CD"}).cmdline, V{"CD"});
    EXPECT_EQ(parse_words({"ls", "CD", "--"}).cmdline, (V{"ls", "CD", "--"}));
    EXPECT_EQ(parse_words({"ls", "ENV", "A=1"}).cmdline, (V{"ls", "ENV", "A=1"}));
    EXPECT_EQ(parse_words({"--", "--", "x"}).cmdline, (V{"--", "x"}));
    EXPECT_EQ(parse_words({"--", "--help"}).cmdline, V{"--help"});
    EXPECT_EQ(parse_words({"ENV", "A=1", "--", "-h"}).cmdline, V{"-h"});
    EXPECT_EQ(parse_words({"ls", "--version"}).cmdline, (V{"ls", "--version"}));
    EXPECT_EQ(parse_words({"ls", "--version"}).query, ptypilot::launcher::launcher_query::none);
    // Keywords are case-sensitive.
    EXPECT_EQ(parse_words({"cd", "x"}).cmdline, (V{"cd", "x"}));
    EXPECT_EQ(parse_words({"Env", "x"}).cmdline, (V{"Env", "x"}));
}

TEST(LauncherGrammar, NoProgram) {
    EXPECT_TRUE(parse_words({"CD", "/tmp"}).cmdline.empty());
    EXPECT_TRUE(parse_words({"CD", "/tmp", "ls"}).cmdline.empty());
    EXPECT_TRUE(parse_words({"--"}).cmdline.empty());
    EXPECT_TRUE(parse_words({"ENV", "A=1", "B=2"}).cmdline.empty());
    EXPECT_TRUE(parse_words({"ENV", "A=1", "--"}).cmdline.empty());
}

TEST(LauncherGrammar, AssignmentsFollowTheirPattern) {
    std::string n, v;
    EXPECT_TRUE(split_assignment("A=1", n, v));
    EXPECT_EQ(n, "A");
    EXPECT_EQ(v, "1");
    EXPECT_TRUE(split_assignment("A=b=c", n, v));
    EXPECT_EQ(v, "b=c");
    EXPECT_FALSE(split_assignment("=z", n, v));
    EXPECT_FALSE(split_assignment("C", n, v));
    // One final newline is dropped; a newline inside the value is no match.
    EXPECT_TRUE(split_assignment("A=x\n", n, v));
    EXPECT_EQ(v, "x");
    EXPECT_FALSE(split_assignment("A=x\ny", n, v));
    EXPECT_FALSE(split_assignment("A=x\n\n", n, v));
    // The name may hold a newline; only "=" ends it.
    EXPECT_TRUE(split_assignment("A\nB=1", n, v));
    EXPECT_EQ(n, "A\nB");
}
