// What an MQTT command's topic and payload ask of the hub, and how salvo names survive a
// topic level.
#include <gtest/gtest.h>

#include "hub/DaemonOptions.h"
#include "hub/mqtt/MqttTopics.h"

namespace {

using Kind = MqttTopics::Command::Kind;

TEST(MqttTopicsTest, CommandTopicsAreReadAndOthersRefused) {
    struct Case {
        const char* topic;
        bool read;
        Kind kind;
        bool input;
        int number;
        const char* salvo;
    };
    const Case cases[] = {
        {"site/a/output/5/input/set", true, Kind::Route, false, 5, ""},
        {"site/a/output/12/lock/set", true, Kind::Lock, false, 12, ""},
        {"site/a/output/1/label/set", true, Kind::Label, false, 1, ""},
        {"site/a/input/3/label/set", true, Kind::Label, true, 3, ""},
        {"site/a/salvo/Show%2Bstart%2F2/take", true, Kind::TakeSalvo, false, 0, "Show+start/2"},
        {"site/a/input/3/input/set", false, Kind::Route, false, 0, ""},
        {"site/a/output/0/input/set", false, Kind::Route, false, 0, ""},
        {"site/a/output/+5/input/set", false, Kind::Route, false, 0, ""},
        {"site/a/output/5/input", false, Kind::Route, false, 0, ""},
        {"site/ab/output/5/input/set", false, Kind::Route, false, 0, ""},
        {"site/a/salvo/bad%2/take", false, Kind::Route, false, 0, ""},
    };
    for (const Case& c : cases) {
        const auto command = MqttTopics::ReadCommand("site/a", c.topic);
        ASSERT_EQ(command.has_value(), c.read) << c.topic;
        if (command) {
            EXPECT_EQ(command->kind, c.kind) << c.topic;
            EXPECT_EQ(command->input, c.input) << c.topic;
            EXPECT_EQ(command->number, c.number) << c.topic;
            EXPECT_EQ(command->salvo, c.salvo) << c.topic;
        }
    }
    const std::pair<const char*, std::optional<Level>> levels[] = {
        {"site/a/output/5/input/set", Level::Default}, {"site/a/output/5/audio/set", Level::Audio},
        {"site/a/output/5/video/set", Level::Video},   {"site/a/input/5/audio/set", std::nullopt},
        {"site/a/output/5/av/set", std::nullopt},
    };
    for (const auto& [topic, level] : levels) {
        const auto command = MqttTopics::ReadCommand("site/a", topic);
        EXPECT_EQ(command ? std::optional(command->level) : std::nullopt, level) << topic;
    }
    std::string why;
    EXPECT_FALSE(MqttTopics::ReadCommand("site/a", "site/a/salvo/50%2x/take", &why));
    EXPECT_NE(why.find("%25"), std::string::npos) << why;
    EXPECT_EQ(MqttTopics::EncodeLevel("50% #1+/x"), "50%25 %231%2B%2Fx");
    EXPECT_EQ(MqttTopics::DecodeLevel(MqttTopics::EncodeLevel("50% #1+/x")), "50% #1+/x");
    EXPECT_EQ(TopicSafe("Studio A / Rack #2"), "studio_a_rack_2");
}

TEST(MqttTopicsTest, AnInputIsNamedByNumberOrByAChoiceThatNamesOneInput) {
    LabelNames labels;
    labels.inputs = {{1, "Camera"}, {2, "Camera"}, {3, "Desk"}};
    const CHubState state(4, 2, labels);
    EXPECT_EQ(MqttTopics::InputChoices(state),
              (std::vector<std::string>{"Camera (1)", "Camera (2)", "Desk", "Input 4"}));
    const std::pair<const char*, int> cases[] = {
        {"4", 3},  {" Desk\n", 2}, {"Camera (2)", 1}, {"Input 4", 3},
        {"5", -1}, {"0", -1},      {"Camera", -1},    {"desk", -1},
    };
    for (const auto& [payload, input] : cases) {
        std::string why;
        EXPECT_EQ(MqttTopics::ReadInput(state, payload, &why).value_or(-1), input) << payload;
        EXPECT_EQ(why.empty(), input >= 0) << payload;
    }
    std::string why;
    MqttTopics::ReadInput(state, "Camera", &why);
    EXPECT_NE(why.find("more than one"), std::string::npos) << why;
}

// Every choice names one input, and none reads as a number, as "no choice" (None) or as an
// output switched off: Home Assistant shows the choice and sends it back as the command.
TEST(MqttTopicsTest, ChoicesAreUniqueAndReadOnlyAsTheirInput) {
    struct Case {
        std::vector<std::string> labels;  // inputs 1, 2 ...
        std::vector<std::string> choices;
    };
    const Case cases[] = {
        {{"Camera", "Desk"}, {"Camera", "Desk"}},
        {{"Camera", "Desk", "Camera"}, {"Camera (1)", "Desk", "Camera (3)"}},
        {{"Camera", "Camera (1)", "Camera"}, {"Camera (1)", "Camera (1) (2)", "Camera (3)"}},
        {{"Desk", "3", "007"}, {"Desk", "3 (2)", "007 (3)"}},
        {{"None", "NONE", "off", "Off air"}, {"None (1)", "NONE (2)", "off (3)", "Off air"}},
        {{"3 (2)", "3"}, {"3 (2) (1)", "3 (2)"}},
        {{" Desk ", "Input 3", ""}, {"Desk", "Input 3 (2)", "Input 3 (3)"}},
    };
    for (const Case& c : cases) {
        LabelNames labels;
        for (std::size_t i = 0; i < c.labels.size(); ++i) {
            labels.inputs[static_cast<int>(i) + 1] = c.labels[i];
        }
        const CHubState state(static_cast<int>(c.labels.size()), 1, labels);
        const std::vector<std::string> choices = MqttTopics::InputChoices(state);
        EXPECT_EQ(choices, c.choices) << c.labels.front();
        for (std::size_t i = 0; i < choices.size(); ++i) {
            std::string why;
            EXPECT_EQ(MqttTopics::ReadInput(state, choices[i], &why), static_cast<int>(i))
                << choices[i] << ": " << why;
        }
    }
}

}  // namespace
