#pragma once

// How the matrix keys of the panel are arranged; decided once from both counts.
enum class PanelLayout { Grid, TwoRow, Keypad };

constexpr int kGridMaxCount = 16;
constexpr int kTwoRowMaxCount = 32;

constexpr PanelLayout LayoutFor(int inputs, int outputs) {
    if (inputs <= kGridMaxCount && outputs <= kGridMaxCount) {
        return PanelLayout::Grid;
    }
    if (inputs <= kTwoRowMaxCount && outputs <= kTwoRowMaxCount) {
        return PanelLayout::TwoRow;
    }
    return PanelLayout::Keypad;
}

// Key ids. Function keys are fixed; matrix keys start at kFirstMatrixKey and are numbered
// by layout (see CSwitchModel); the keypad's Enter key is fixed.
enum FunctionKeyId : int {
    kKeyAV = 4352,
    kKeyV = 4353,
    kKeyA = 4354,
    kKeyAll = 4355,
    kKeyThrough = 4356,
    kKeyBack = 4357,
    kKeyUndo = 4358,
    kKeyDemo = 4359,
    kKeySave = 4360,
    kKeyRecall = 4361,
    kKeyClear = 4362,
    kKeyLock = 4363,
    kKeyUnlock = 4364,
};
constexpr int kFirstFunctionKey = kKeyAV;
constexpr int kLastFunctionKey = kKeyUnlock;
constexpr int kFirstMatrixKey = 0x1200;  // 4608
constexpr int kLastMatrixKey = 5120;
constexpr int kKeyEnter = 5121;
constexpr int kKeypadOutputDigitBase = kFirstMatrixKey + 10;  // 4618

// Panel timers: 3 and 4 end a two-row route mark, 5 ends the selection highlight.
enum PanelTimerId : int { kTimerAllThroughMark = 3, kTimerRouteMark = 4, kTimerHighlight = 5 };
constexpr int kMarkTimeoutMs = 1000;
constexpr int kHighlightTimeoutMs = 10000;

// The lit style a key shows when lit. Grid crosspoints and two-row keys read 3 and 4
// the other way round (see the route display of CSwitchModel).
enum RouteMark : int { kMarkPlain = 1, kMarkBoth = 2, kMark3 = 3, kMark4 = 4 };

// The keypad's two read-only number fields.
enum class NumberField { Input, Output };

// The range the keypad accepts for a typed input, output or preset number, whatever the
// counts are.
constexpr int kKeypadMinNumber = 1;
constexpr int kKeypadMaxNumber = 128;
