// The --help text made from an option table: the synopsis by groups, the columns, the wrapping.
#include <gtest/gtest.h>

#include "common/OptionTable.h"

namespace {

using enum TOptionValue;

constexpr TOptionRow kRows[] = {
    {.Name = "--port", .Value = "DEVICE", .Kind = SerialDevice, .Repeatable = true, .Help = "a port"},
    {.Name = "--quiet", .Help = "say less"},
    {.Name = "--convert", .Value = "IN OUT", .Kind = File, .Group = "log", .Help = "convert IN into OUT"},
    {.Name = "--a-rather-long-option", .Value = "VALUE", .Kind = Text, .Group = "log",
     .Help = "a text long enough to be wrapped onto a second line at forty columns"},
    {.Name = "--mode", .Value = "MODE", .Kind = Choice, .Choices = "one  two three", .Help = "one, two or three"},
    {.Name = "--help", .Alias = "-h", .Alone = true, .Help = "this text"},
    {.Name = "--dump", .Value = "FILE", .Kind = File, .Alone = true, .Group = "dump", .Help = "list FILE"},
    {.Name = "--json", .Alone = true, .Group = "dump", .Help = "as JSON"},
    {.Name = "--version", .Alone = true, .Help = "the version"},
};

constexpr TCommandRow kCommands[] = {{"quit", "leave"}};

constexpr TProgramTexts kTexts{.Program = "prog",
                               .Description = "Does things.",
                               .Options = kRows,
                               .Commands = kCommands,
                               .CommandsHeading = "Commands:",
                               .Epilogue = "The end."};

TEST(OptionTable, HelpTextFromTheTable) {
  EXPECT_EQ(HelpText(kTexts, 60),
            "Usage: prog [--port DEVICE]... [--quiet] [--mode MODE]\n"
            "       prog ... [--convert IN OUT]\n"
            "            [--a-rather-long-option VALUE]\n"
            "       prog --dump FILE [--json]\n"
            "       prog --help | --version\n"
            "\n"
            "Does things.\n"
            "\n"
            "Options:\n"
            "  --port DEVICE     a port\n"
            "  --quiet           say less\n"
            "  --convert IN OUT  convert IN into OUT\n"
            "  --a-rather-long-option VALUE\n"
            "                    a text long enough to be wrapped onto a\n"
            "                    second line at forty columns\n"
            "  --mode MODE       one, two or three\n"
            "  --help, -h        this text\n"
            "  --dump FILE       list FILE\n"
            "  --json            as JSON\n"
            "  --version         the version\n"
            "\n"
            "Commands:\n"
            "  quit  leave\n"
            "\n"
            "The end.\n");
}

TEST(OptionTable, LooksUpSpellingsAndSplitsValues) {
  EXPECT_EQ(FindOption(kRows, "--mode"), &kRows[4]);
  EXPECT_EQ(FindOption(kRows, "-h"), &kRows[5]);
  EXPECT_EQ(FindOption(kRows, "--json"), &kRows[7]);
  EXPECT_EQ(FindOption(kRows, "--mod"), nullptr);
  EXPECT_EQ(FindOption(kRows, ""), nullptr);  // no row has an empty alias
  EXPECT_EQ(kRows[4].ChoiceList(), (std::vector<std::string_view>{"one", "two", "three"}));
  EXPECT_EQ(kRows[2].ValueCount(), 2u);
  EXPECT_EQ(kRows[1].ValueCount(), 0u);
  EXPECT_EQ(WrapText("a-very-long-word b", 4), (std::vector<std::string>{"a-very-long-word", "b"}));
}

}  // namespace
