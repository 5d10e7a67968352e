#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>

#include "controls/CIpAddressEdit.h"
#include "link/CNetClient.h"
#include "link/CNetSetDlg.h"
#include "platform/qt/ControlId.h"

namespace {

struct Outcome {
    std::vector<std::string> steps;
    std::optional<ConnectRequest> request;
};

// Runs OK on a fresh dialog with the typed address fields and port.
Outcome PressOk(CNetClient& net, const std::array<const char*, 4>& fields, const char* port) {
    Outcome outcome;
    CNetSetDlg dlg(CNetSetDlg::Context{net,
                                       [&] {
                                           outcome.steps.push_back(
                                               net.HasSocket() ? "release+socket" : "release");
                                           return true;
                                       },
                                       [&](const ConnectRequest& request) {
                                           outcome.steps.push_back("connect");
                                           outcome.request = request;
                                       }},
                   nullptr);
    for (int k = 0; k < 4; ++k) {
        dlg.AddressField()->Field(k)->setText(fields[static_cast<std::size_t>(k)]);
    }
    dlg.PortField()->setText(port);
    FindControlAs<QPushButton>(&dlg, CNetSetDlg::kIdOk)->click();
    outcome.steps.push_back(dlg.result() == QDialog::Accepted ? "accepted" : "open");
    return outcome;
}

}  // namespace

TEST(NetSetDlg, OkReleasesTheSerialPortThenStartsTheConnectWithTheTypedValues) {
    struct Case {
        std::array<const char*, 4> fields;
        const char* port;
        std::array<std::uint8_t, 4> address;
        std::uint16_t wirePort;
    };
    const Case cases[] = {
        {{"127", "0", "0", "1"}, "4001", {127, 0, 0, 1}, 4001},
        {{"", "", "", ""}, "", {0, 0, 0, 0}, 0},
        {{"192", "168", "", "7"}, "abc", {192, 168, 0, 7}, 0},
        {{"10", "0", "0", "1"}, "70000", {10, 0, 0, 1}, 70000 & 0xFFFF},
        {{"10", "0", "0", "1"}, " 23x", {10, 0, 0, 1}, 23},
    };
    for (const Case& c : cases) {
        CNetClient net;
        const Outcome outcome = PressOk(net, c.fields, c.port);
        EXPECT_EQ(outcome.steps, (std::vector<std::string>{"release", "connect", "accepted"}));
        ASSERT_TRUE(outcome.request.has_value());
        EXPECT_EQ(outcome.request->address, c.address);
        EXPECT_EQ(outcome.request->port, c.wirePort) << c.port;
        EXPECT_EQ(outcome.request->client, &net);
        EXPECT_EQ(outcome.request->socket, net.SocketToken());
        EXPECT_TRUE(net.HasSocket());
    }
}

TEST(NetSetDlg, CancelTouchesNothing) {
    CNetClient net;
    bool released = false;
    CNetSetDlg dlg(CNetSetDlg::Context{net, [&] { return released = true; }, {}}, nullptr);
    FindControlAs<QPushButton>(&dlg, CNetSetDlg::kIdCancel)->click();
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(released);
    EXPECT_FALSE(net.HasSocket());
}

TEST(NetSetDlg, LayoutInTemplateUnits) {
    CNetClient net;
    CNetSetDlg dlg(CNetSetDlg::Context{net, {}, {}}, nullptr);
    EXPECT_EQ(dlg.size(), QSize(374, 188));
    EXPECT_EQ(FindControl(&dlg, CNetSetDlg::kIdAddress)->geometry(), QRect(138, 32, 200, 22));
    EXPECT_EQ(FindControl(&dlg, CNetSetDlg::kIdPort)->geometry(), QRect(140, 76, 78, 24));
    EXPECT_EQ(FindControl(&dlg, CNetSetDlg::kIdOk)->geometry(), QRect(240, 132, 100, 28));
    EXPECT_EQ(FindControl(&dlg, CNetSetDlg::kIdCancel)->geometry(), QRect(120, 134, 100, 28));
    EXPECT_EQ(dlg.windowTitle(), "Set Net");
}
