#include "ProgramDriver.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <fstream>
#include <sstream>

#include "access/CLoginDlg.h"
#include "controls/CGradientButton.h"
#include "controls/CIpAddressEdit.h"
#include "link/CNetSetDlg.h"
#include "panel/CStFunView.h"
#include "platform/qt/ControlId.h"
#include "terminal/CAdFunView.h"

bool WaitFor(const std::function<bool()>& pred, int ms) {
    return QTest::qWaitFor(pred, ms);
}

std::string SimLog(const Program& program) {
    return program.sysDir.Path() + "/sim.log";
}

std::unique_ptr<SimProcess> StartSim(const Program& program, const std::string& counts) {
    return std::make_unique<SimProcess>(
        std::vector<std::string>{"--port", "0", "--inputs", counts, "--outputs", counts, "--pty",
                                 program.sysDir.Path() + "/COM1", "--log", SimLog(program)});
}

std::unique_ptr<SimProcess> StartWithSim(Program& program, const std::string& counts) {
    auto sim = StartSim(program, counts);
    if (sim->Port() == 0 || !program.Start(counts, counts)) {
        return nullptr;
    }
    return sim;
}

std::string SimReceived(const std::string& logPath, const std::string& peer) {
    std::ifstream in(logPath);
    std::string line, bytes;
    const std::string prefix = "rx " + peer + " ";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            bytes += line.substr(prefix.size());
        }
    }
    return bytes;
}

bool Program::Start(const std::string& inputs, const std::string& outputs, PanelOptions options) {
    app = std::make_unique<CPanelApp>(options);
    window = std::make_unique<CMainPanelDlg>(*app);
    WhenModal<CLoginDlg>([inputs, outputs](CLoginDlg* login) {
        FindControlAs<QLineEdit>(login, CLoginDlg::kIdInput)
            ->setText(QString::fromStdString(inputs));
        FindControlAs<QLineEdit>(login, CLoginDlg::kIdOutput)
            ->setText(QString::fromStdString(outputs));
        FindControlAs<QPushButton>(login, CLoginDlg::kIdEnter)->click();
    });
    if (!window->Initialise()) {
        return false;
    }
    window->show();
    return true;
}

bool Program::StartAndExit() {
    app = std::make_unique<CPanelApp>();
    window = std::make_unique<CMainPanelDlg>(*app);
    WhenModal<CLoginDlg>(
        [](CLoginDlg* login) { FindControlAs<QPushButton>(login, CLoginDlg::kIdExit)->click(); });
    return window->Initialise();
}

void Program::Stop() {
    window.reset();
    app.reset();
}

std::string Program::ReplyBox() const {
    return window->Terminal()->LogText();
}

void Program::Click(int id) {
    auto* button = FindControlAs<QAbstractButton>(window.get(), id);
    ASSERT_NE(button, nullptr) << id;
    QTest::mouseClick(button, Qt::LeftButton);
}

void Program::ClickKey(int id) {
    CGradientButton* key = window->Panel()->Key(id);
    ASSERT_NE(key, nullptr) << id;
    QTest::mouseClick(key, Qt::LeftButton);
}

void Program::DoubleClick(QWidget* button) {
    ASSERT_NE(button, nullptr);
    QWidget* top = button->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(top));
    const QPoint at = button->mapTo(top, button->rect().center());
    QTest::mouseDClick(top->windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
}

void Program::ConnectThroughDialog(std::uint16_t port, std::array<const char*, 4> fields) {
    WhenModal<CNetSetDlg>([port, fields](CNetSetDlg* dlg) {
        for (std::size_t k = 0; k < fields.size(); ++k) {
            dlg->AddressField()->Field(static_cast<int>(k))->setText(fields[k]);
        }
        dlg->PortField()->setText(QString::number(port));
        FindControlAs<QPushButton>(dlg, CNetSetDlg::kIdOk)->click();
    });
    ChooseLink("NET");
}

void Program::ChooseLink(const QString& item) {
    Click(CMainPanelDlg::kIdTcpIp);
    QMenu* menu = window->LinkMenu();
    ASSERT_TRUE(WaitFor([menu] { return menu->isVisible(); }));
    QAction* chosen = nullptr;
    for (QAction* action : menu->actions()) {
        if (action->text() == item) {
            chosen = action;
        }
    }
    ASSERT_NE(chosen, nullptr) << item.toStdString();
    // As a click on the item does: the menu closes, then the item is triggered.
    menu->hide();
    chosen->trigger();
}
