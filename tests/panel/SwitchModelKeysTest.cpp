// The switching model driven key by key, across the three layouts.
#include <gtest/gtest.h>

#include <functional>

#include "RecordingEffects.h"

using Texts = std::vector<std::string>;

TEST(SwitchModelLayout, LayoutFollowsBothCounts) {
    struct Case {
        int inputs, outputs;
        PanelLayout layout;
    };
    const Case cases[] = {
        {1, 1, PanelLayout::Grid},     {16, 16, PanelLayout::Grid},  {4, 16, PanelLayout::Grid},
        {16, 17, PanelLayout::TwoRow}, {17, 1, PanelLayout::TwoRow}, {32, 32, PanelLayout::TwoRow},
        {33, 2, PanelLayout::Keypad},  {2, 33, PanelLayout::Keypad}, {128, 1, PanelLayout::Keypad},
    };
    for (const Case& c : cases) {
        RecordingEffects fx;
        EXPECT_EQ(CSwitchModel(c.inputs, c.outputs, fx).Layout(), c.layout)
            << c.inputs << "x" << c.outputs;
    }
}

TEST(SwitchModelLayout, KeyIdsOfEachLayout) {
    RecordingEffects fx;
    const CSwitchModel grid16(16, 16, fx);
    EXPECT_EQ(grid16.GridKey(0, 0), 4608);
    EXPECT_EQ(grid16.GridKey(16, 16), 4896);  // 289 keys
    EXPECT_EQ(grid16.GridKey(1, 0), 4608 + 17);
    EXPECT_EQ(grid16.GridKey(17, 0), 0);
    EXPECT_EQ(grid16.InputKey(1), 0);

    const CSwitchModel grid1(1, 1, fx);
    EXPECT_EQ(grid1.GridKey(0, 1), 4609);
    EXPECT_EQ(grid1.GridKey(1, 0), 4610);
    EXPECT_EQ(grid1.GridKey(1, 1), 4611);

    const CSwitchModel twoRow(32, 20, fx);
    EXPECT_EQ(twoRow.InputKey(1), 4608);
    EXPECT_EQ(twoRow.InputKey(32), 4639);
    EXPECT_EQ(twoRow.OutputKey(1), 4640);
    EXPECT_EQ(twoRow.OutputKey(20), 4659);
    EXPECT_EQ(twoRow.OutputKey(21), 0);
}

TEST(SwitchModelLayout, CountsBelowOneAreRejected) {
    RecordingEffects fx;
    EXPECT_THROW(CSwitchModel(0, 4, fx), std::invalid_argument);
    EXPECT_THROW(CSwitchModel(4, -1, fx), std::invalid_argument);
}

// One switch in the empty mode, made the way each layout offers it.
TEST(SwitchModelKeys, SwitchInEmptyModeSendsOneCommandAndLeavesThePanelIdle) {
    struct Case {
        int inputs, outputs;
        std::function<void(PanelUnderTest&)> operate;
        const char* wire;
    };
    const Case cases[] = {
        {4, 4, [](PanelUnderTest& p) { p.Crosspoint(2, 3); }, "3B2."},
        {16, 16, [](PanelUnderTest& p) { p.Crosspoint(16, 16); }, "16B16."},
        {20, 20,
         [](PanelUnderTest& p) {
             p.InputKey(3);
             p.OutputKey(5);
         },
         "3B5."},
        {64, 64,
         [](PanelUnderTest& p) {
             p.TypeInput("3");
             p.TypeOutput("5");
             p.Enter();
         },
         "3B5."},
        // With no mode the keypad checks no range: whatever was typed goes out.
        {64, 64,
         [](PanelUnderTest& p) {
             p.TypeInput("999");
             p.TypeOutput("200");
             p.Enter();
         },
         "999B200."},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(c.inputs, c.outputs);
        c.operate(p);
        EXPECT_EQ(p.fx.SerialWire(), c.wire);
        ASSERT_EQ(p.fx.m_sent.size(), 1u);
        EXPECT_EQ(p.fx.m_sent[0].route, kRoutePanel);
        EXPECT_TRUE(p.fx.LitKeys().empty()) << c.wire;
        EXPECT_EQ(p.model.Input(), 0);
        EXPECT_EQ(p.model.Output(), 0);
        EXPECT_EQ(p.model.Mode(), "");
    }
}

TEST(SwitchModelKeys, GridSignalModeServesSeveralOutputsUntilTheHighlightTimeout) {
    PanelUnderTest p(4, 4);
    p.Press(kKeyAV);
    p.Header(3);
    p.Label(1);
    p.Label(2);
    p.Label(4);
    EXPECT_EQ(p.fx.SerialWire(), "3B1.3B2.3B4.");
    EXPECT_EQ(p.fx.LitKeys(), (std::vector<int>{kKeyAV, p.model.GridKey(0, 3)}));
    EXPECT_EQ(p.fx.TimerPeriod(kTimerHighlight), kHighlightTimeoutMs);

    p.model.OnHighlightTimeout();
    EXPECT_TRUE(p.fx.LitKeys().empty());
    EXPECT_EQ(p.model.Mode(), "B");
    EXPECT_EQ(p.model.Input(), 3);

    p.Label(3);  // the mode and the input outlive the highlight
    EXPECT_EQ(p.fx.m_sent.back().text, "3B3");
}

TEST(SwitchModelKeys, TwoRowSignalModeKeepsTheInputForTheNextOutput) {
    PanelUnderTest p(20, 20);
    p.Press(kKeyAV);
    p.InputKey(3);
    p.OutputKey(1);
    p.OutputKey(12);
    EXPECT_EQ(p.SentTexts(), (Texts{"3B1", "3B12"}));
    EXPECT_EQ(p.fx.LitKeys(), (std::vector<int>{kKeyAV, p.model.InputKey(3)}));
    EXPECT_EQ(p.model.Output(), 0);

    p.model.OnHighlightTimeout();
    EXPECT_TRUE(p.fx.LitKeys().empty());
    EXPECT_EQ(p.model.Mode(), "B");
}

TEST(SwitchModelKeys, GridModeWithoutInputSwitchesInputZeroAndLightsTheCorner) {
    PanelUnderTest p(4, 4);
    p.Press(kKeyAV);
    p.Label(2);
    EXPECT_EQ(p.fx.SerialWire(), "0B2.");
    EXPECT_TRUE(p.fx.IsLit(p.model.GridKey(0, 0)));
    p.model.OnHighlightTimeout();
    EXPECT_FALSE(p.fx.IsLit(p.model.GridKey(0, 0)));
}

TEST(SwitchModelKeys, OutputPickWithNoModeQueriesItsStatus) {
    struct Case {
        int inputs, outputs;
        std::function<void(PanelUnderTest&)> operate;
        Texts sent;
    };
    const Case cases[] = {
        {4, 4, [](PanelUnderTest& p) { p.Label(4); }, {"Status4"}},
        // The grid asks even with an input chosen, and keeps that input.
        {4,
         4,
         [](PanelUnderTest& p) {
             p.Header(2);
             p.Label(4);
         },
         {"Status4"}},
        {20, 20, [](PanelUnderTest& p) { p.OutputKey(4); }, {"Status4"}},
        // The two-row layout switches when an input is chosen.
        {20,
         20,
         [](PanelUnderTest& p) {
             p.InputKey(2);
             p.OutputKey(4);
         },
         {"2B4"}},
        {64, 64, [](PanelUnderTest& p) { p.Enter(); }, {"Status0"}},
        {64,
         64,
         [](PanelUnderTest& p) {
             p.TypeOutput("7");
             p.Enter();
         },
         {"Status7"}},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(c.inputs, c.outputs);
        c.operate(p);
        EXPECT_EQ(p.SentTexts(), c.sent);
        EXPECT_EQ(p.model.Output(), 0);
        for (const int key : p.fx.LitKeys()) {
            EXPECT_NE(key, p.model.GridKey(4, 0)) << "label stays lit";
            EXPECT_NE(key, p.model.OutputKey(4)) << "output key stays lit";
        }
    }
    PanelUnderTest grid(4, 4);
    grid.Header(2);
    grid.Label(4);
    EXPECT_EQ(grid.model.Input(), 2);
}

TEST(SwitchModelKeys, AllKeyInEveryLayout) {
    struct Case {
        int inputs, outputs;
        std::function<void(PanelUnderTest&)> operate;
        Texts sent;
    };
    const Case cases[] = {
        {4,
         4,
         [](PanelUnderTest& p) {
             p.Header(3);
             p.Press(kKeyAll);
         },
         {"3All"}},
        {20,
         20,
         [](PanelUnderTest& p) {
             p.InputKey(3);
             p.Press(kKeyAll);
         },
         {"3All"}},
        {64,
         64,
         [](PanelUnderTest& p) {
             p.TypeInput("3");
             p.Press(kKeyAll);
         },
         {"3All"}},
        {4,
         4,
         [](PanelUnderTest& p) {
             p.Press(kKeyAV);
             p.Press(kKeyAll);
         },
         {"All$"}},
        {64,
         64,
         [](PanelUnderTest& p) {
             p.Press(kKeyAV);
             p.Press(kKeyAll);
         },
         {"All$"}},
        {4,
         4,
         [](PanelUnderTest& p) {
             p.Press(kKeyAll);
             p.Press(kKeyThrough);
         },
         {"All#"}},
        {20,
         20,
         [](PanelUnderTest& p) {
             p.Press(kKeyAll);
             p.Press(kKeyThrough);
         },
         {"All#"}},
        {4,
         4,
         [](PanelUnderTest& p) {
             p.Press(kKeyAll);
             p.Label(4);
         },
         {"4$"}},
        {20,
         20,
         [](PanelUnderTest& p) {
             p.Press(kKeyAll);
             p.OutputKey(5);
         },
         {"5$"}},
        {64,
         64,
         [](PanelUnderTest& p) {
             p.Press(kKeyAll);
             p.TypeOutput("5");
             p.Enter();
         },
         {"5$"}},
        // "%d$" is not sent while an input is chosen.
        {4,
         4,
         [](PanelUnderTest& p) {
             p.Press(kKeyAll);
             p.Crosspoint(2, 3);
         },
         {}},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(c.inputs, c.outputs);
        c.operate(p);
        EXPECT_EQ(p.SentTexts(), c.sent);
        EXPECT_EQ(p.model.Mode(), "") << (c.sent.empty() ? "" : c.sent[0]);
        EXPECT_FALSE(p.model.LitKey().has_value());
        EXPECT_TRUE(p.fx.LitKeys().empty());
    }
}

TEST(SwitchModelKeys, AllWithoutInputStaysPending) {
    PanelUnderTest p(4, 4);
    p.Press(kKeyAll);
    EXPECT_EQ(p.model.Mode(), "All");
    EXPECT_TRUE(p.fx.IsLit(kKeyAll));
    EXPECT_TRUE(p.fx.m_sent.empty());
    p.Press(kKeyBack);
    EXPECT_EQ(p.model.Mode(), "");
    EXPECT_FALSE(p.fx.IsLit(kKeyAll));
}

TEST(SwitchModelKeys, ThroughKey) {
    // With an input: "%d#" and the choice is dropped.
    for (const auto& [inputs, pick] :
         std::vector<std::pair<int, std::function<void(PanelUnderTest&)>>>{
             {4, [](PanelUnderTest& p) { p.Header(3); }},
             {20, [](PanelUnderTest& p) { p.InputKey(3); }},
             {64, [](PanelUnderTest& p) { p.TypeInput("3"); }}}) {
        PanelUnderTest p(inputs, inputs);
        pick(p);
        p.Press(kKeyThrough);
        EXPECT_EQ(p.fx.SerialWire(), "3#.");
        EXPECT_EQ(p.model.Input(), 0);
        EXPECT_TRUE(p.fx.LitKeys().empty());
    }

    // Grid, no input: the pending mode goes, nothing is sent.
    PanelUnderTest grid(4, 4);
    grid.Press(kKeyAV);
    grid.Press(kKeyThrough);
    EXPECT_TRUE(grid.fx.m_sent.empty());
    EXPECT_EQ(grid.model.Mode(), "");
    EXPECT_FALSE(grid.fx.IsLit(kKeyThrough));

    // Two-row, no input: only the common frame runs; the mode stays (its key goes dark).
    PanelUnderTest twoRow(20, 20);
    twoRow.Press(kKeyAV);
    twoRow.Press(kKeyThrough);
    EXPECT_TRUE(twoRow.fx.m_sent.empty());
    EXPECT_EQ(twoRow.model.Mode(), "B");
    EXPECT_TRUE(twoRow.fx.LitKeys().empty());
    EXPECT_EQ(twoRow.fx.TimerPeriod(kTimerHighlight), kHighlightTimeoutMs);

    // Keypad: after "%d#" the input field keeps its digits and the next digit extends them.
    PanelUnderTest keypad(64, 64);
    keypad.TypeInput("3");
    keypad.Press(kKeyThrough);
    EXPECT_EQ(keypad.fx.FieldText(NumberField::Input), "3");
    keypad.TypeInput("4");
    EXPECT_EQ(keypad.model.Input(), 34);
}

TEST(SwitchModelKeys, BackDropsTheInputAndKeepsThePendingMode) {
    struct Case {
        int inputs;
        std::function<void(PanelUnderTest&)> pick;
        std::function<int(const PanelUnderTest&)> inputKey;
    };
    const Case cases[] = {
        {4, [](PanelUnderTest& p) { p.Header(3); },
         [](const PanelUnderTest& p) { return p.model.GridKey(0, 3); }},
        {20, [](PanelUnderTest& p) { p.InputKey(3); },
         [](const PanelUnderTest& p) { return p.model.InputKey(3); }},
        {64, [](PanelUnderTest& p) { p.TypeInput("3"); }, [](const PanelUnderTest&) { return 0; }},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(c.inputs, c.inputs);
        p.Press(kKeyAV);
        c.pick(p);
        p.Press(kKeyBack);
        EXPECT_EQ(p.model.Input(), 0);
        EXPECT_EQ(p.model.Mode(), "B");
        EXPECT_EQ(p.fx.LitKeys(), std::vector<int>{kKeyAV});
        EXPECT_EQ(p.fx.FieldText(NumberField::Input), "");
        if (const int key = c.inputKey(p); key != 0) {
            EXPECT_FALSE(p.fx.IsLit(key));
        }
        // A second Back with nothing chosen cancels the mode.
        p.Press(kKeyBack);
        EXPECT_EQ(p.model.Mode(), "");
        EXPECT_TRUE(p.fx.LitKeys().empty());
        EXPECT_TRUE(p.fx.m_sent.empty());
    }
}

TEST(SwitchModelKeys, UndoLockUnlockDemoAreOneShotCommands) {
    struct Case {
        int key;
        const char* wire;
    };
    const Case cases[] = {
        {kKeyUndo, "Undo."},
        {kKeyLock, "/%Lock;"},
        {kKeyUnlock, "/%Unlock;"},
        {kKeyDemo, "Demo."},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(4, 4);
        p.Press(kKeyAV);
        p.Header(2);
        p.Press(c.key);
        EXPECT_EQ(p.fx.SerialWire(), c.wire);
        EXPECT_EQ(p.fx.NetWire(), Texts{c.wire});
        EXPECT_EQ(p.fx.m_sent[0].route, kRoutePanel);
        EXPECT_EQ(p.model.Mode(), "") << c.wire;
        EXPECT_FALSE(p.model.LitKey().has_value());
        EXPECT_FALSE(p.fx.IsLit(c.key));
        EXPECT_FALSE(p.fx.IsLit(kKeyAV));
        EXPECT_EQ(p.model.Input(), 2) << "the choice is not touched";
    }
}

TEST(SwitchModelKeys, LockIsNeverLitWhileItsCommandGoesOut) {
    PanelUnderTest p(4, 4);
    p.Press(kKeyLock);
    EXPECT_EQ(p.fx.m_keys.count(kKeyLock), 0u);
}

TEST(SwitchModelPresets, GridAndTwoRowTakeThePresetFromTheOutputKey) {
    struct Case {
        int inputs, outputs;
        int key;
        std::function<void(PanelUnderTest&)> pick;
        Texts sent;
    };
    const Case cases[] = {
        {8, 8, kKeySave, [](PanelUnderTest& p) { p.Label(3); }, {"Save3"}},
        {8, 8, kKeyClear, [](PanelUnderTest& p) { p.Label(8); }, {"Clear8"}},
        {8, 8, kKeyRecall, [](PanelUnderTest& p) { p.Crosspoint(3, 2); }, {}},
        {20, 20, kKeyClear, [](PanelUnderTest& p) { p.OutputKey(12); }, {"Clear12"}},
        {20,
         20,
         kKeyRecall,
         [](PanelUnderTest& p) {
             p.InputKey(1);
             p.OutputKey(2);
         },
         {}},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(c.inputs, c.outputs);
        p.Press(c.key);
        EXPECT_TRUE(p.fx.IsLit(c.key));
        c.pick(p);
        EXPECT_EQ(p.SentTexts(), c.sent);
        EXPECT_EQ(p.model.Mode(), "");
        EXPECT_EQ(p.model.Input(), 0);
        EXPECT_TRUE(p.fx.LitKeys().empty());
    }
}

TEST(SwitchModelPresets, KeypadPresetModeSurvivesEnter) {
    PanelUnderTest p(64, 64);
    p.Press(kKeyRecall);
    p.TypeOutput("10");
    p.Enter();
    p.TypeOutput("7");
    p.Enter();
    EXPECT_EQ(p.fx.SerialWire(), "Recall10.Recall7.");
    EXPECT_EQ(p.model.Mode(), "Recall");
    EXPECT_EQ(p.fx.FieldText(NumberField::Output), "");
    // A typed input makes the preset command go nowhere.
    p.TypeInput("2");
    p.TypeOutput("5");
    p.Enter();
    EXPECT_EQ(p.fx.m_sent.size(), 2u);
}

TEST(SwitchModelKeypad, EnterChecksTheRangeOfWhatTheModeNeeds) {
    struct Case {
        int modeKey;  // 0: no mode
        const char* input;
        const char* output;
        std::optional<NumberField> errorField;
        Texts sent;
    };
    const Case cases[] = {
        {kKeyAV, "200", "5", NumberField::Input, {}},
        {kKeyAV, "", "5", NumberField::Input, {}},
        {kKeyAV, "3", "129", NumberField::Output, {}},
        {kKeyAV, "3", "", NumberField::Output, {}},
        {kKeyAV, "128", "1", std::nullopt, {"128B1"}},
        {kKeySave, "", "", NumberField::Output, {}},
        {kKeyClear, "", "128", std::nullopt, {"Clear128"}},
        {kKeyAll, "", "0", NumberField::Output, {}},
        {0, "3", "", std::nullopt, {}},  // nothing to switch to, nothing reported
    };
    for (const Case& c : cases) {
        PanelUnderTest p(64, 64);
        if (c.modeKey != 0) {
            p.Press(c.modeKey);
        }
        p.TypeInput(c.input);
        p.TypeOutput(c.output);
        p.Enter();
        EXPECT_EQ(p.SentTexts(), c.sent) << c.input << "/" << c.output;
        EXPECT_EQ(p.fx.m_focus, c.errorField) << c.input << "/" << c.output;
        EXPECT_EQ(p.fx.m_replyBox, c.errorField ? "Please input one number of 1 ~ 128!" : "");
        EXPECT_EQ(p.fx.FieldText(NumberField::Input), "");
        EXPECT_EQ(p.fx.FieldText(NumberField::Output), "");
    }
}

TEST(SwitchModelKeypad, RangeErrorKeepsModeAndNumbers) {
    PanelUnderTest p(64, 64);
    p.Press(kKeyAV);
    p.TypeInput("200");
    p.TypeOutput("5");
    p.Enter();
    EXPECT_EQ(p.model.Mode(), "B");
    EXPECT_EQ(p.model.Input(), 200);
    EXPECT_EQ(p.model.Output(), 5);
    // The mode serves the next Enter too.
    p.TypeInput("2");
    p.TypeOutput("5");
    p.Enter();
    EXPECT_EQ(p.fx.SerialWire(), "2B5.");
    EXPECT_EQ(p.model.Mode(), "B");
}

TEST(SwitchModelKeypad, DigitsFillAtMostThreePlacesAndLightNothing) {
    PanelUnderTest p(64, 64);
    p.TypeInput("1234");
    EXPECT_EQ(p.fx.FieldText(NumberField::Input), "123");
    EXPECT_EQ(p.model.Input(), 123);
    p.TypeOutput("0");
    EXPECT_EQ(p.fx.FieldText(NumberField::Output), "0");
    EXPECT_EQ(p.model.Output(), 0);
    p.TypeOutput("09");
    EXPECT_EQ(p.model.Output(), 9);
    EXPECT_TRUE(p.fx.m_keys.empty());
    EXPECT_TRUE(p.fx.m_timerStarts.empty());
}

TEST(SwitchModelKeys, EveryFunctionKeyRestartsTheHighlightTimer) {
    for (int key = kFirstFunctionKey; key <= kLastFunctionKey; ++key) {
        PanelUnderTest p(4, 4);
        p.Press(key);
        EXPECT_EQ(p.fx.TimerPeriod(kTimerHighlight), kHighlightTimeoutMs) << key;
    }
}

TEST(SwitchModelKeys, KeysThatArePartOfNoPanelDoNothing) {
    struct Case {
        int inputs, outputs;
        int id;
    };
    const Case cases[] = {
        {4, 4, 4607},   {4, 4, 4608},   {4, 4, 4608 + 25}, {4, 4, 5121}, {20, 20, 4608 + 40},
        {64, 64, 4628}, {64, 64, 5120}, {4, 4, 4351},      {4, 4, 4365},
    };
    for (const Case& c : cases) {
        PanelUnderTest p(c.inputs, c.outputs);
        p.model.OnMatrixKey(c.id);
        if (c.id < kFirstMatrixKey) {
            p.model.OnFunctionKey(c.id);
        }
        EXPECT_TRUE(p.fx.m_keys.empty()) << c.id;
        EXPECT_TRUE(p.fx.m_sent.empty()) << c.id;
        EXPECT_TRUE(p.fx.m_timerStarts.empty()) << c.id;
    }
    PanelUnderTest grid(4, 4);
    grid.Enter();  // Enter belongs to the keypad
    EXPECT_TRUE(grid.fx.m_sent.empty());
}
