// The daemon's router logic without sockets: the request reader's limits, what requests do to
// routes, labels and locks, which lines an update carries, and how options and a configuration
// file combine.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hub/DaemonOptions.h"
#include "hub/core/CLabelsWriter.h"
#include "hub/router/CRouterDoor.h"
#include "hub/router/RequestReader.h"
#include "hub/web/WebSessions.h"
#include "support/LinkTestSupport.h"

namespace {

using Fault = RouterRequest::Fault;

std::vector<RouterRequest> Read(const std::string& bytes, bool byteByByte = false) {
    CRequestReader reader;
    std::vector<RouterRequest> blocks;
    if (byteByByte) {
        for (char c : bytes) {
            reader.Feed(std::string_view(&c, 1), blocks);
        }
    } else {
        reader.Feed(bytes, blocks);
    }
    return blocks;
}

TEST(RequestReader, CutsBlocksAndRefusesWhatIsTooLong) {
    const std::string longLine(CRequestReader::kMaxLine + 1, 'x');
    std::string manyLines = "VIDEO OUTPUT ROUTING:\n";
    for (std::size_t i = 0; i <= CRequestReader::kMaxBlockLines; ++i) {
        manyLines += "0 0\n";
    }
    struct Case {
        std::string bytes;
        std::vector<RouterRequest> blocks;
    };
    const Case cases[] = {
        {"\n\r\nPING:\r\n\r\nVIDEO OUTPUT ROUTING:\n7 2\n3 1\n\nINPUT",
         {{"PING:", {}, Fault::None}, {"VIDEO OUTPUT ROUTING:", {"7 2", "3 1"}, Fault::None}}},
        {"INPUT LABELS:\n0 " + longLine + "\n1 ok\n\nPING:\n\n",
         {{"", {}, Fault::LineTooLong}, {"PING:", {}, Fault::None}}},
        {longLine + "\n0 0\n\n", {{"", {}, Fault::LineTooLong}}},
        {manyLines + "\n", {{"", {}, Fault::BlockTooLong}}},
        {manyLines.substr(0, manyLines.size() - 4) + "\n",
         {{"VIDEO OUTPUT ROUTING:", std::vector<std::string>(CRequestReader::kMaxBlockLines, "0 0"),
           Fault::None}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Read(c.bytes), c.blocks) << c.bytes.substr(0, 60);
        EXPECT_EQ(Read(c.bytes, true), c.blocks) << c.bytes.substr(0, 60);
    }
}

// Records what each client was sent, the label changes handed on, and (through the queue)
// what went to the switcher.
class Recorder : public IRouterOutput, public IHubStore {
  public:
    void SendToClient(ClientId client, const std::string& bytes) override { sent[client] += bytes; }
    void LabelsChanged(const std::vector<LabelChange>& changes) override {
        labelChanges.insert(labelChanges.end(), changes.begin(), changes.end());
    }
    void ResumeClient(ClientId client) override { resumed.push_back(client); }
    void CloseClient(ClientId client, const std::string&) override { closed.push_back(client); }
    void Log(const std::string&) override {}

    std::string Take(ClientId client) { return std::exchange(sent[client], {}); }

    std::map<ClientId, std::string> sent;
    std::string commands;
    std::vector<LabelChange> labelChanges;
    std::vector<ClientId> resumed;
    std::vector<ClientId> closed;
};

class RouterCore : public ::testing::Test {
  protected:
    CCommandQueue::Events Events() {
        CCommandQueue::Events events;
        events.write = [this](ClientId, const std::string& command) {
            m_out.commands += command;
            m_hub.CommandSent(command);
        };
        return events;
    }
    void Drain() {
        const auto now = CCommandQueue::Clock::now();
        for (auto next = m_queue.NextRun(); next && *next <= now; next = m_queue.NextRun()) {
            m_queue.Run(now);
        }
    }
    void LinkUp() {
        m_queue.LinkUp();
        m_hub.LinkUp();
        Drain();
    }

    explicit RouterCore(HubSettings settings = {})
        : m_queue(CCommandQueue::Settings::Unpaced(), Events()),
          m_hub(m_state, m_out, m_queue, settings),
          m_door(m_hub, m_out, RouterIdentity{}) {
        LinkUp();
        m_hub.SwitcherBytes("AV:1->1\r\nAV:2->2\r\nAV:3->3\r\nAV:4->4\r\n");  // all heard
        for (ClientId client : {1, 2}) {
            m_door.ClientConnected(client);
        }
        m_out.Take(1);
        m_out.Take(2);
        m_out.commands.clear();
    }
    void Request(ClientId client, const std::string& bytes) {
        for (const RouterRequest& block : Read(bytes)) {
            m_door.Request(client, block);
        }
        Drain();
    }

    CHubState m_state{4, 4, LabelNames{}};
    Recorder m_out;
    CCommandQueue m_queue;
    CHub m_hub;
    CRouterDoor m_door;
};

TEST_F(RouterCore, UpdatesCarryOnlyTheChangedLines) {
    struct Case {
        const char* reply;
        const char* update;  // to every client
    };
    const Case cases[] = {
        {"AV:3->2\r\n", "VIDEO OUTPUT ROUTING:\n1 2\n\n"},
        {"AV:3->2\r\nAV:4->4\r\n", ""},  // nothing moved
        {"A:1->1\r\n", ""},              // audio is not shown
        {"V:1->3\r\nV:2->4\r\n", "VIDEO OUTPUT ROUTING:\n2 0\n3 1\n\n"},
        // Off: the protocol has no word for it, the last route stays; out of range: nothing.
        {"AV:1->3 OFF\r\nAV:9->1\r\n", "VIDEO OUTPUT ROUTING:\n2 0\n\n"},
        {"2 To All\r\n", "VIDEO OUTPUT ROUTING:\n0 1\n1 1\n2 1\n\n"},
        {"All Through.\r\n", "VIDEO OUTPUT ROUTING:\n0 0\n2 2\n3 3\n\n"},
    };
    for (const Case& c : cases) {
        m_hub.SwitcherBytes(c.reply);
        EXPECT_EQ(m_out.Take(1), c.update) << c.reply;
        EXPECT_EQ(m_out.Take(2), c.update) << c.reply;
    }
}

TEST_F(RouterCore, RequestsAreCarriedOutWholeOrRefused) {
    struct Case {
        std::string request;
        std::string answer;
        std::string commands;
    };
    const Case cases[] = {
        {"VIDEO OUTPUT ROUTING:\n1 2\n3 0\n\n", "ACK\n\n", "3B2.1B4."},
        {"VIDEO OUTPUT ROUTING:\n1 2\n4 0\n\n", "NAK\n\n", ""},  // output 4 does not exist
        {"VIDEO OUTPUT ROUTING:\n1 x\n\n", "NAK\n\n", ""},
        {"VIDEO OUTPUT ROUTING:\n-1 2\n\n", "NAK\n\n", ""},
        {"VIDEO MONITORING OUTPUT ROUTING:\n0 1\n\n", "NAK\n\n", ""},
        {"CONFIGURATION:\nTake Mode: true\n\n", "NAK\n\n", ""},
        {"PING:\n\n", "ACK\n\n", ""},
        {"VIDEO OUTPUT ROUTING:\n\n", "ACK\n\nVIDEO OUTPUT ROUTING:\n0 0\n1 1\n2 2\n3 3\n\n", ""},
        {"OUTPUT LABELS:\n2 \xff\xfe\n\n", "NAK\n\n", ""},  // not UTF-8
        {"INPUT LABELS:\n" + std::string(5000, 'a') + "\n\n", "NAK\n\n", ""},
    };
    for (const Case& c : cases) {
        Request(1, c.request);
        EXPECT_EQ(m_out.Take(1), c.answer) << c.request;
        EXPECT_EQ(std::exchange(m_out.commands, {}), c.commands) << c.request;
        EXPECT_EQ(m_out.Take(2), "") << c.request;  // routes change only by the reply
    }
}

TEST_F(RouterCore, LabelsAreShownAtOnceAndHandedToTheFile) {
    Request(1, "OUTPUT LABELS:\n2   Projector; hall  \n\n");
    EXPECT_EQ(m_out.Take(1), "ACK\n\nOUTPUT LABELS:\n2 Projector; hall\n\n");
    EXPECT_EQ(m_out.Take(2), "OUTPUT LABELS:\n2 Projector; hall\n\n");

    // Control characters from a client become blanks; an empty name brings the default back.
    Request(2, "INPUT LABELS:\n1 Cam\x1b]0;pwned\x07\xc2\x9bX\n\n");
    Request(2, "OUTPUT LABELS:\n2 \n\n");
    EXPECT_EQ(m_out.Take(1), "INPUT LABELS:\n1 Cam ]0;pwned  X\n\nOUTPUT LABELS:\n2 Output 3\n\n");
    EXPECT_EQ(m_out.labelChanges,
              (std::vector<LabelChange>{
                  {false, 3, "Projector; hall"}, {true, 2, "Cam ]0;pwned  X"}, {false, 3, ""}}));

    // Names the labels file holds after a write (some put there by hand) are shown.
    m_out.Take(2);
    m_hub.AdoptFileLabels(LabelNames{{{1, "Desk"}, {2, "Cam ]0;pwned  X"}}, {{9, "Spare"}}});
    EXPECT_EQ(m_out.Take(2), "INPUT LABELS:\n0 Desk\n\n");
}

TEST_F(RouterCore, LocksBelongToOneClientAndGoWithIt) {
    struct Step {
        ClientId client;
        const char* request;
        const char* answer;
        const char* toClient1;  // the update as each client sees it
        const char* toClient2;
    };
    const Step steps[] = {
        {1, "VIDEO OUTPUT LOCKS:\n2 O\n\n", "ACK\n\n", "VIDEO OUTPUT LOCKS:\n2 O\n\n",
         "VIDEO OUTPUT LOCKS:\n2 L\n\n"},
        {2, "VIDEO OUTPUT LOCKS:\n2 O\n\n", "NAK\n\n", "", ""},
        {2, "VIDEO OUTPUT LOCKS:\n2 U\n\n", "NAK\n\n", "", ""},
        {2, "VIDEO OUTPUT ROUTING:\n2 0\n\n", "NAK\n\n", "", ""},
        {1, "VIDEO OUTPUT ROUTING:\n2 0\n\n", "ACK\n\n", "", ""},
        {1, "VIDEO OUTPUT LOCKS:\n2 O\n\n", "ACK\n\n", "", ""},  // already its own
        {2, "VIDEO OUTPUT LOCKS:\n2 F\n3 O\n\n", "ACK\n\n", "VIDEO OUTPUT LOCKS:\n2 U\n3 L\n\n",
         "VIDEO OUTPUT LOCKS:\n2 U\n3 O\n\n"},
        {1, "VIDEO OUTPUT LOCKS:\n\n", "ACK\n\nVIDEO OUTPUT LOCKS:\n0 U\n1 U\n2 U\n3 L\n\n", "",
         ""},
    };
    for (const Step& step : steps) {
        Request(step.client, step.request);
        const std::string answer = m_out.Take(step.client);
        EXPECT_EQ(answer.substr(0, std::string(step.answer).size()), step.answer) << step.request;
        const std::string update = answer.substr(std::string(step.answer).size());
        EXPECT_EQ(step.client == 1 ? update : m_out.Take(1), step.toClient1) << step.request;
        EXPECT_EQ(step.client == 2 ? update : m_out.Take(2), step.toClient2) << step.request;
    }
    EXPECT_EQ(m_out.commands, "1B3.");
    m_door.ClientGone(2);
    EXPECT_EQ(m_out.Take(1), "VIDEO OUTPUT LOCKS:\n3 U\n\n");
}

TEST_F(RouterCore, ClientsWaitForTheRoutesAfterTheLinkComesBack) {
    m_queue.LinkDown();
    m_hub.LinkDown();
    EXPECT_EQ(m_out.Take(1).rfind("VIDEOHUB DEVICE:\nDevice present: false\n", 0), 0u);
    Request(1, "VIDEO OUTPUT ROUTING:\n0 1\n\n");
    EXPECT_EQ(m_out.Take(1), "NAK\n\n");

    LinkUp();
    EXPECT_EQ(m_out.commands, "Status.");
    m_door.ClientConnected(3);
    EXPECT_TRUE(m_door.Holding(3));
    m_hub.SwitcherBytes("AV:2->1\r\nAV:2->2\r\nAV:3->3\r\n");
    EXPECT_EQ(m_out.Take(3) + m_out.Take(1), "");  // output 4 not heard yet
    m_hub.SwitcherBytes("AV:4->4\r\n");
    EXPECT_FALSE(m_door.Holding(3));
    EXPECT_EQ(m_out.resumed, std::vector<ClientId>{3});
    const std::string first = m_out.Take(3);
    const std::string again = m_out.Take(1);
    EXPECT_EQ(first.rfind("PROTOCOL PREAMBLE:\n", 0), 0u);
    EXPECT_EQ(again.rfind("VIDEOHUB DEVICE:\nDevice present: true\n", 0), 0u);
    EXPECT_NE(again.find("VIDEO OUTPUT ROUTING:\n0 1\n1 1\n2 2\n3 3\n\n"), std::string::npos);
    EXPECT_EQ(first.substr(first.find("VIDEOHUB DEVICE:")), again);
}

class RouterCoreNoEcho : public RouterCore {
  protected:
    RouterCoreNoEcho() : RouterCore(HubSettings{'V', true}) {}
};

TEST_F(RouterCoreNoEcho, ASentRouteCountsAtOnce) {
    Request(2, "VIDEO OUTPUT ROUTING:\n3 0\n\n");
    EXPECT_EQ(m_out.commands, "1V4.");
    EXPECT_EQ(m_out.Take(2), "ACK\n\nVIDEO OUTPUT ROUTING:\n3 0\n\n");
    EXPECT_EQ(m_out.Take(1), "VIDEO OUTPUT ROUTING:\n3 0\n\n");

    // Commands from the raw port count the same way; other commands change nothing.
    for (const char* command : {"Status.", "3$.", "12B2.", "/%Lock;"}) {
        m_hub.CommandSent(command);
    }
    EXPECT_EQ(m_out.Take(1), "");
    m_hub.CommandSent("\r\n2All.");
    EXPECT_EQ(m_out.Take(2), "VIDEO OUTPUT ROUTING:\n0 1\n2 1\n3 1\n\n");
}

TEST_F(RouterCore, RawCommandsThatWouldMoveALockedOutputAreNotSent) {
    Request(1, "VIDEO OUTPUT LOCKS:\n2 O\n\n");  // output 3
    using R = CHub::Result;
    const std::pair<const char*, R> cases[] = {
        {"6B3.", R::Locked},     {"03V003.", R::Locked}, {"2All.", R::Locked},
        {"Recall2.", R::Locked}, {"Undo.", R::Locked},   {"3#.", R::Locked},
        {"6B4.", R::Queued},     {"Save2.", R::Queued},  {"Status.", R::Queued},
        {"/%Lock;", R::Queued},
    };
    for (const auto& [command, result] : cases) {
        EXPECT_EQ(m_hub.SubmitRaw(9, command), result) << command;
    }
    Drain();
    EXPECT_EQ(m_out.commands, "6B4.Save2.Status./%Lock;");
    m_queue.LinkDown();
    EXPECT_EQ(m_hub.SubmitRaw(9, "6B4."), R::Absent);
}

using Ms = CCommandQueue::Millis;

// The queue on a clock of its own: what goes on the wire when.
struct Wire {
    std::vector<std::string> written;
    std::vector<std::pair<bool, std::size_t>> presence;
    std::vector<ClientId> room;
    CCommandQueue queue;

    explicit Wire(CCommandQueue::Settings settings)
        : queue(std::move(settings),
                CCommandQueue::Events{
                    [this](ClientId, const std::string& c) { written.push_back(c); },
                    [this](bool present, std::size_t dropped) {
                        presence.emplace_back(present, dropped);
                    },
                    [this](ClientId client) { room.push_back(client); }}) {}
    std::string RunAt(CCommandQueue::Clock::time_point at) {
        const std::size_t before = written.size();
        queue.Run(at);
        return written.size() > before ? written.back() : "";
    }
};

TEST(CommandQueue, ClientsTakeTurnsWithinTheirShare) {
    CCommandQueue::Settings settings;
    settings.probe = "Status1.";
    Wire wire(settings);
    const auto t = CCommandQueue::Clock::now();
    wire.queue.LinkUp(t);
    using S = CCommandQueue::Submitted;
    for (std::size_t k = 0; k < CCommandQueue::kMaxPerClient; ++k) {
        ASSERT_EQ(wire.queue.SubmitText(1, {"1B1."}), S::Queued);
    }
    EXPECT_EQ(wire.queue.SubmitText(1, {"1B2."}), S::Full);
    EXPECT_EQ(wire.queue.SubmitText(2, {"2B2.", "2B3."}), S::Queued);
    // A client with nothing waiting may hand in a block of any size, whole.
    EXPECT_EQ(wire.queue.SubmitText(3, std::vector<std::string>(100, "3B3.")), S::Queued);
    EXPECT_EQ(wire.queue.SubmitText(3, {"3B4."}), S::Full);

    std::string order;
    auto at = t;
    for (int k = 0; k < 6; ++k) {
        order += wire.RunAt(at);
        at += Ms(10);
        wire.queue.Received("AV:1->1\r\n", at);
        at += settings.settle;
    }
    EXPECT_EQ(order, "1B1.2B2.3B3.1B1.2B3.3B3.");
    EXPECT_EQ(wire.room, std::vector<ClientId>{1});  // its share has room again
}

TEST(CommandQueue, OneCommandAtATimeAndAnUnansweredSwitcherIsAbsent) {
    CCommandQueue::Settings settings;
    settings.replyWait = Ms(300);
    settings.settle = Ms(20);
    settings.gap = Ms(50);
    settings.probe = "Status1.";
    Wire wire(settings);
    const auto t = CCommandQueue::Clock::now();
    wire.queue.LinkUp(t);
    wire.queue.SubmitText(1, {"1B1.", "2B2.", "3B3.", "4B4.", "5B5."});
    EXPECT_EQ(wire.RunAt(t), "1B1.");
    EXPECT_EQ(wire.RunAt(t + Ms(200)), "");  // no reply yet
    // A reply line of many: the next goes once the line is quiet, and the gap is over.
    wire.queue.Received("AV:1->1\r\nAV:2", t + Ms(210));
    wire.queue.Received("->2\r\n", t + Ms(225));
    EXPECT_EQ(wire.RunAt(t + Ms(240)), "");
    EXPECT_EQ(wire.RunAt(t + Ms(245)), "");  // quiet, but in the gap
    EXPECT_EQ(*wire.queue.NextRun(), t + Ms(295));
    EXPECT_EQ(wire.RunAt(t + Ms(295)), "2B2.");
    // Unanswered: the next after the reply wait and the gap, three times, then absent.
    for (const auto& [at, written] : std::vector<std::pair<int, const char*>>{
             {595, ""}, {645, "3B3."}, {945, ""}, {995, "4B4."}, {1295, ""}}) {
        EXPECT_EQ(wire.RunAt(t + Ms(at)), written) << at;
    }
    EXPECT_EQ(wire.presence, (std::vector<std::pair<bool, std::size_t>>{{false, 1}}));
    EXPECT_EQ(wire.queue.SubmitText(2, {"1B1."}), CCommandQueue::Submitted::Absent);
    // Probed until it answers.
    EXPECT_EQ(wire.RunAt(t + Ms(2995)), "Status1.");
    wire.queue.Received("AV:1->1\r\n", t + Ms(3100));
    EXPECT_EQ(wire.presence.back(), (std::pair<bool, std::size_t>{true, 0}));
    EXPECT_TRUE(wire.queue.Present());
}

QueuedCommand RouteTo(int input, char level, int output) {
    QueuedCommand command(std::to_string(input) + level + std::to_string(output) + ".");
    command.output = output;
    command.level = level;
    command.echo = std::string(level == 'B'   ? "AV:"
                               : level == 'V' ? "V:"
                                              : "A:") +
                   std::to_string(input) + "->" + std::to_string(output);
    return command;
}

// What waits for the switcher in order, sent without replies.
std::string Drained(Wire& wire, CCommandQueue::Clock::time_point at) {
    std::string order;
    for (std::string sent = wire.RunAt(at); !sent.empty(); sent = wire.RunAt(at)) {
        order += sent;
    }
    return order;
}

TEST(CommandQueue, ANewerRouteReplacesAWaitingOneForItsOutputAndLevel) {
    struct Case {
        const char* what;
        std::vector<std::pair<ClientId, QueuedCommand>> submitted;
        std::string sent;
    };
    const std::vector<Case> cases = {
        {"another client's route takes the waiting one's place",
         {{1, RouteTo(1, 'B', 1)}, {1, RouteTo(1, 'B', 2)}, {2, RouteTo(7, 'B', 1)}},
         "7B1.1B2."},
        {"audio and video apart are two routes; both levels replace either",
         {{1, RouteTo(1, 'V', 1)},
          {1, RouteTo(2, 'A', 1)},
          {1, RouteTo(3, 'V', 1)},
          {2, RouteTo(4, 'B', 1)}},
         "4B1."},
        {"a single level does not replace both",
         {{1, RouteTo(1, 'B', 1)}, {2, RouteTo(2, 'V', 1)}},
         "1B1.2V1."},
    };
    for (const Case& c : cases) {
        CCommandQueue::Settings settings = CCommandQueue::Settings::Unpaced();
        Wire wire(settings);
        const auto t = CCommandQueue::Clock::now();
        wire.queue.LinkUp(t);
        for (const auto& [client, command] : c.submitted) {
            ASSERT_EQ(wire.queue.Submit(client, {command}), CCommandQueue::Submitted::Queued);
        }
        EXPECT_EQ(Drained(wire, t), c.sent) << c.what;
    }
    // Routes that merge take no share: a burst of full salvos always fits.
    Wire wire(CCommandQueue::Settings::Unpaced());
    const auto t = CCommandQueue::Clock::now();
    wire.queue.LinkUp(t);
    for (int salvo = 1; salvo <= 5; ++salvo) {
        std::vector<QueuedCommand> routes;
        for (int output = 1; output <= 100; ++output) {
            routes.push_back(RouteTo(salvo, 'B', output));
        }
        ASSERT_EQ(wire.queue.Submit(salvo, routes), CCommandQueue::Submitted::Queued) << salvo;
    }
    EXPECT_EQ(wire.queue.Waiting(), 100u);
    EXPECT_EQ(Drained(wire, t).substr(0, 8), "5B1.5B2.");
}

TEST(CommandQueue, ALateReplyStretchesTheWaitALostRouteGoesAgainAndAnEchoEndsTheWait) {
    CCommandQueue::Settings settings;
    settings.probe = "Status1.";
    std::vector<std::string> written, log;
    CCommandQueue queue(settings,
                        {.write = [&](ClientId, const std::string& c) { written.push_back(c); },
                         .log = [&](const std::string& line) { log.push_back(line); }});
    const auto t = CCommandQueue::Clock::now();
    const auto at = [&](int ms) {
        const std::size_t before = written.size();
        queue.Run(t + Ms(ms));
        return written.size() > before ? written.back() : "";
    };
    queue.LinkUp(t);
    queue.Submit(1, {RouteTo(1, 'B', 1), RouteTo(2, 'B', 2), RouteTo(3, 'B', 3)});
    EXPECT_EQ(at(0), "1B1.");
    EXPECT_EQ(at(300), "2B2.");                  // no reply within the wait: the next goes
    queue.Received("AV:1->1\r\n", t + Ms(400));  // late, while the switcher dropped 2B2.
    EXPECT_EQ(queue.ReplyWait(), Ms(600));
    EXPECT_EQ(at(800), "");
    EXPECT_EQ(at(900), "3B3.");
    queue.Received("AV:3->3\r\n", t + Ms(950));  // it answers again: 2B2. was lost
    EXPECT_EQ(at(970), "2B2.");
    queue.Received("AV:2->2\r\n", t + Ms(990));
    EXPECT_EQ(at(1010), "");
    // A route's own line is all its reply: the next goes when it came, with no settle.
    queue.Submit(1, {RouteTo(4, 'B', 4), RouteTo(5, 'B', 5)});
    EXPECT_EQ(at(1020), "4B4.");
    queue.Received("AV:4->4\r\n", t + Ms(1025));
    EXPECT_EQ(at(1025), "5B5.");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("600 ms"), std::string::npos) << log[0];
}

TEST(LabelsWriter, ManyChangesEndWithTheLastNamesOnTopOfTheFile) {
    ScopedSysDir dir;
    const std::string path = dir.Path() + "/labels.ini";
    std::ofstream(path) << "[inputs]\n1=By hand\n";
    std::mutex mutex;
    std::vector<CLabelsWriter::Written> written;
    {
        CLabelsWriter writer(path, LabelNames{}, [&](const CLabelsWriter::Written& w) {
            std::lock_guard lock(mutex);
            written.push_back(w);
        });
        for (int k = 1; k <= 500; ++k) {
            writer.Change({{false, 1 + k % 4, "Name " + std::to_string(k)}});
        }
        writer.Flush();
        const LabelNames onFile = ReadLabelsFile(path, true).names;
        EXPECT_EQ(onFile.inputs, (std::map<int, std::string>{{1, "By hand"}}));
        EXPECT_EQ(onFile.outputs,
                  (std::map<int, std::string>{
                      {1, "Name 500"}, {2, "Name 497"}, {3, "Name 498"}, {4, "Name 499"}}));
        writer.Change({{true, 1, ""}});  // written before the writer ends
    }
    EXPECT_EQ(FileText(path).find("By hand"), std::string::npos);
    std::lock_guard lock(mutex);
    ASSERT_FALSE(written.empty());
    EXPECT_LT(written.size(), 50u);  // coalesced, not one write each
    EXPECT_EQ(written.back().generation, 501u);
    EXPECT_TRUE(written.back().ok);
}

TEST(LabelsWriter, AFileAnEditorSavesInPlaceMeanwhileLosesNoName) {
    ScopedSysDir dir;
    const std::string path = dir.Path() + "/labels.ini";
    const std::string byHand = "[inputs]\n1=Camera\n2=Laptop\n";
    std::ofstream(path) << byHand;
    const LabelNames known = ReadLabelsFile(path, true).names;
    // The editor empties the file, then writes it: over and over while clients rename.
    std::atomic<bool> editing{true};
    std::thread editor([&] {
        while (editing) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (fd >= 0) {
                EXPECT_EQ(::write(fd, byHand.data(), byHand.size()),
                          static_cast<ssize_t>(byHand.size()));
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    constexpr int kRenames = 20;
    std::mutex mutex;
    int namesLost = 0;
    {
        CLabelsWriter writer(path, known, [&](const CLabelsWriter::Written& w) {
            std::lock_guard lock(mutex);
            namesLost += w.onFile.inputs != known.inputs;  // what every door would show
        });
        for (int k = 1; k <= kRenames; ++k) {
            writer.Change({{false, 1, "Name " + std::to_string(k)}});
            writer.Flush();
        }
        editing = false;
        editor.join();
        writer.Change({{false, 2, "Last"}});
    }
    EXPECT_EQ(namesLost, 0) << "of " << kRenames << " writes";
    const LabelNames onFile = ReadLabelsFile(path, true).names;
    EXPECT_EQ(onFile.inputs, known.inputs);
    EXPECT_EQ(onFile.outputs.count(2), 1u);
}

TEST(DaemonOptionsTest, TheCommandLineWinsOverTheFileAndMistakesAreNamed) {
    ScopedSysDir dir;
    const std::string config = dir.Path() + "/stage.conf";
    std::ofstream(config) << "# stage\nserial = COM2\nbaud = 19200\ninputs = 16\noutputs=4\n"
                             "allow = 10.0.0.0/8\nno-echo = yes\nname = Stage left\n"
                             "web-host = Stage.example.org.\n";
    const DaemonOptions merged = ParseDaemonOptions(
        {"--config", config, "--outputs", "8", "--allow", "192.168.1.7", "--web-host", "10.0.0.5"});
    EXPECT_EQ(merged.serial, "COM2");
    EXPECT_EQ(merged.baud, 19200u);
    EXPECT_EQ(merged.inputs, 16);
    EXPECT_EQ(merged.outputs, 8);
    ASSERT_EQ(merged.allow.size(), 1u);
    EXPECT_EQ(merged.allow[0].bits, 32);
    EXPECT_TRUE(merged.noEcho);
    EXPECT_EQ(merged.name, "Stage left");
    EXPECT_EQ(merged.webHosts, (std::vector<std::string>{"Stage.example.org", "10.0.0.5"}));
    const DaemonOptions net = ParseDaemonOptions({"--config", config, "--net", "module:4001"});
    EXPECT_EQ(net.link, DaemonOptions::Link::Network);
    EXPECT_EQ(net.mqttBase, "matrixpanel/stage_left");
    const DaemonOptions mqtt = ParseDaemonOptions(
        {"--config", config, "--mqtt", "mqtts://[fd00::5]", "--no-ha-discovery"});
    EXPECT_EQ(mqtt.mqttHost, "fd00::5");
    EXPECT_EQ(mqtt.mqttPort, 8883);
    EXPECT_TRUE(mqtt.mqttTls);
    EXPECT_FALSE(mqtt.haDiscovery);

    const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
        {{"--inputs", "8", "--outputs", "8"}, "link"},
        {{"--net", "h:1", "--serial", "COM1", "--inputs", "1", "--outputs", "1"}, "not both"},
        {{"--net", "h:1", "--baud", "9600", "--inputs", "1", "--outputs", "1"}, "--baud"},
        {{"--serial", "COM9", "--inputs", "1", "--outputs", "1"}, "1..5"},
        {{"--serial", "COM01", "--inputs", "1", "--outputs", "1"}, "'COM01'"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--reply-wait", "5"}, "10..60000"},
        {{"--serial", "COM1", "--inputs", "1025", "--outputs", "1"}, "1..1024"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--allow", "10.0.0.0/33"},
         "0..32"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--route-kind", "audio"},
         "av or video"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--videohub-port", "off",
          "--raw-port", "off", "--web-port", "off", "--swp08-port", "off"},
         "every port is off"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--swp08-baud", "9600"},
         "--swp08-serial DEVICE"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--listen", "0.0.0.0"},
         "--web-password-file"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--mqtt", "tcp://broker"},
         "mqtt://HOST"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--mqtt", "mqtt://b:0"},
         "1..65535"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--mqtt-user", "u"},
         "need --mqtt URL"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--mqtt", "mqtt://b", "--mqtt-ca",
          "ca.pem"},
         "mqtts://"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--mqtt-base", "a/+/b"},
         "without +"},
        {{"--serial", "COM1", "--inputs", "1", "--outputs", "1", "--web-host", "stage:9980"},
         "without a port"},
        {{"--config", dir.Path() + "/missing.conf"}, "missing.conf"},
        {{"--frobnicate"}, "unknown option"},
    };
    for (const auto& [args, message] : mistakes) {
        try {
            ParseDaemonOptions(args);
            ADD_FAILURE() << message;
        } catch (const UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
    std::ofstream(config) << "serial = COM1\nlisten\n";
    EXPECT_THROW(ParseDaemonOptions({"--config", config}), UsageError);
}

// Ten minutes do not pass in a test at the web door: the rule of who gives way, by the clock.
TEST(WebSessions, OnlyASpareSessionGivesWayToANewOne) {
    using namespace std::chrono_literals;
    CWebSessions sessions;
    const CWebSessions::Clock::time_point start{};
    std::vector<ClientId> ended;
    std::vector<CWebSessions::Opened> kept;
    for (std::size_t k = 0; k < CWebSessions::kMaxSessions; ++k) {
        kept.push_back(*sessions.Open(start, ended));
        sessions.Use(kept.back().token, start);  // its cookie came back
    }
    sessions.Sockets(kept[0].token, +1);
    EXPECT_FALSE(sessions.Open(start + 9min, ended)) << "every session was used lately";
    // Unused for 10 minutes, a session gives way; a newcomer whose cookie never came back
    // goes first after that. The one with its WebSocket open stays throughout.
    std::vector<ClientId> newcomers;
    for (std::size_t k = 0; k < CWebSessions::kMaxSessions; ++k) {
        const auto opened = sessions.Open(start + 10min, ended);
        ASSERT_TRUE(opened);
        newcomers.push_back(opened->client);
    }
    ASSERT_EQ(ended.size(), CWebSessions::kMaxSessions);
    EXPECT_NE(ended[0], kept[0].client);
    EXPECT_EQ(std::vector<ClientId>(ended.begin() + 1, ended.end()),
              std::vector<ClientId>(newcomers.begin(), newcomers.end() - 1));
    EXPECT_EQ(sessions.Use(kept[0].token, start + 10min), kept[0].client);
}

}  // namespace
