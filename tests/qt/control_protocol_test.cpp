// The control protocol on plain byte strings: which command a message carries, how
// "[SetParameters]" is taken apart, the state reply byte for byte, and which handler each
// message reaches.
#include <QTest>

#include "remote/ControlProtocol.h"

using namespace vontal;

Q_DECLARE_METATYPE(vontal::ServerCommand)

namespace {

// A byte string that may hold NUL bytes.
template <size_t N>
QByteArray Bytes(const char (&text)[N]) {
    return QByteArray(text, N - 1);
}

// Records what a message asked of the window.
class RecordingTarget : public IControlTarget {
public:
    bool enabled = true;
    QStringList calls;
    ServerStateFields state;
    ServerResultsFields results;

    bool CommandEnabled(ServerCommand) const override { return enabled; }
    void RunCommand(ServerCommand command) override { calls << QString("run %1").arg(int(command)); }
    ServerStateFields CurrentState() const override { return state; }
    ServerResultsFields CurrentResults() const override { return results; }
    void SetTaskBoxes(const TaskBoxTexts& t) override {
        calls << QString("boxes %1|%2|%3|%4").arg(t.nFirst, t.nLast, t.kLow, t.kHigh);
    }
    void SendReply(const QByteArray& reply) override { calls << "reply " + QString::fromLatin1(reply); }
};

// The example of a task over n = 50..60, k = 20e12..30e12, stopped at exponent 52.
ServerStateFields StoppedAt52() {
    ServerStateFields f;
    f.nMin = "50";
    f.nTemp = "52";
    f.nMax = "60";
    f.kMin = "20e12";
    f.kMax = "30e12";
    f.startEnabled = true;
    f.continueEnabled = true;
    f.stopEnabled = false;
    f.windowsService = false;
    f.statusK = "Program does not work\rExpects a new task...";
    return f;
}

}  // namespace

class ControlProtocolTest : public QObject {
    Q_OBJECT
private slots:
    void commandOfAMessage_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<ServerCommand>("command");
        QTest::newRow("start") << QByteArray("[Start]") << ServerCommand::Start;
        QTest::newRow("start with text behind") << QByteArray("[Start]now please") << ServerCommand::Start;
        QTest::newRow("continue") << QByteArray("[Continue]") << ServerCommand::Continue;
        QTest::newRow("stop with binary behind") << Bytes("[Stop]\0\xff\r\n") << ServerCommand::Stop;
        QTest::newRow("windows service") << QByteArray("[WindowsService]") << ServerCommand::WindowsService;
        QTest::newRow("receive") << QByteArray("[ReceiveParameters]") << ServerCommand::ReceiveParameters;
        QTest::newRow("set") << QByteArray("[SetParameters]a=1,") << ServerCommand::SetParameters;
        QTest::newRow("results") << QByteArray("[ReceiveResults]") << ServerCommand::ReceiveResults;
        // Two messages in one read: only the first counts.
        QTest::newRow("two in one read") << QByteArray("[Stop][Start]") << ServerCommand::Stop;
        QTest::newRow("leading blank") << QByteArray(" [Start]") << ServerCommand::None;
        QTest::newRow("lower case") << QByteArray("[start]") << ServerCommand::None;
        QTest::newRow("upper case") << QByteArray("[STOP]") << ServerCommand::None;
        QTest::newRow("leading NUL") << Bytes("\0[Start]") << ServerCommand::None;
        QTest::newRow("token cut short") << QByteArray("[Receive") << ServerCommand::None;
        QTest::newRow("no closing bracket") << QByteArray("[Startx]") << ServerCommand::None;
        QTest::newRow("empty") << QByteArray() << ServerCommand::None;
        QTest::newRow("unknown") << QByteArray("[CurrentParameters]nMin=1") << ServerCommand::None;
    }
    void commandOfAMessage() {
        QFETCH(QByteArray, message);
        QFETCH(ServerCommand, command);
        QCOMPARE(ParseServerCommand(message), command);
    }

    void setParametersByPosition_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("four pairs") << QByteArray("[SetParameters]nMin=50,nMax=60,kMin=20e12,kMax=30e12,")
                                    << QStringList{"50", "60", "20e12", "30e12"};
        QTest::newRow("no last comma") << QByteArray("[SetParameters]nMin=50,nMax=60,kMin=20e12,kMax=30e12")
                                       << QStringList{"50", "60", "20e12", ""};
        QTest::newRow("names unexamined, rest ignored")
            << QByteArray("[SetParameters]x=7,=8,kMax=1,y=2,z=3,") << QStringList{"7", "8", "1", "2"};
        QTest::newRow("values as they stand") << QByteArray("[SetParameters]a= 5 ,b=,c=abc,d=1e99,")
                                              << QStringList{" 5 ", "", "abc", "1e99"};
        // With no "=" left nothing is skipped, so the last value is read again.
        QTest::newRow("equals signs run out") << QByteArray("[SetParameters]a=50,b=60,70,80,")
                                              << QStringList{"50", "60", "60", "60"};
        // Each step skips to the next "=", which may stand inside the value just read.
        QTest::newRow("equals inside a value") << QByteArray("[SetParameters]a=1=2,b=3,c=4,d=5,")
                                               << QStringList{"1=2", "2", "3", "4"};
        QTest::newRow("no commas") << QByteArray("[SetParameters]nMin=50") << QStringList{"", "", "", ""};
        QTest::newRow("token alone") << QByteArray("[SetParameters]") << QStringList{"", "", "", ""};
        // Line breaks and NUL would become lines of the settings file at the next save.
        QTest::newRow("line breaks and NUL dropped")
            << Bytes("[SetParameters]a=5\r\n0,b=6\0" "0,c=\n1\r,d=2\r\n[f]\r\nisHidden=1,")
            << QStringList{"50", "60", "1", "2[f]isHidden=1"};
        QTest::newRow("high bytes one character each")
            << QByteArray("[SetParameters]a=\xe9,b=\xff\x80,c=,d=,") << QStringList{"\u00e9", "\u00ff\u0080", "", ""};
    }
    void setParametersByPosition() {
        QFETCH(QByteArray, message);
        QFETCH(QStringList, boxes);
        const TaskBoxTexts t = ParseSetParameters(message);
        QCOMPARE((QStringList{t.nFirst, t.nLast, t.kLow, t.kHigh}), boxes);
    }

    // What the server sends to fill the boxes comes apart into the same four texts.
    void setParametersBuiltAsParsed() {
        const TaskBoxTexts texts{"50", "60", "20e12", ""};
        const QByteArray message = BuildSetParameters(texts);
        QCOMPARE(message, QByteArray("[SetParameters]n=50,n=60,k=20e12,k=,"));
        QCOMPARE(ParseServerCommand(message), ServerCommand::SetParameters);
        const TaskBoxTexts back = ParseSetParameters(message);
        QCOMPARE((QStringList{back.nFirst, back.nLast, back.kLow, back.kHigh}), (QStringList{"50", "60", "20e12", ""}));
    }

    void stateReplyByteForByte() {
        QCOMPARE(BuildStateReply(StoppedAt52()),
                 QByteArray("[CurrentParameters]nMin=50,nTemp=52,nMax=60,kMin=20e12,kMax=30e12,Start1=1,"
                            "Continue1=1,Stop1=0,WS=0lab/|Program does not work\rExpects a new task...|"));
        ServerStateFields running = StoppedAt52();
        running.startEnabled = running.continueEnabled = false;
        running.stopEnabled = running.windowsService = true;
        running.kMax = "";
        running.statusK = "k=1,000\rk/sec= 5\rk/day= 4.10^5";
        QCOMPARE(BuildStateReply(running),
                 QByteArray("[CurrentParameters]nMin=50,nTemp=52,nMax=60,kMin=20e12,kMax=,Start1=0,"
                            "Continue1=0,Stop1=1,WS=1lab/|k=1,000\rk/sec= 5\rk/day= 4.10^5|"));
        // Single-byte text: a Latin-1 character is one byte.
        ServerStateFields latin = StoppedAt52();
        latin.kMin = "\u00e9";
        QVERIFY(BuildStateReply(latin).contains(",kMin=\xe9,kMax="));
    }

    // The divisors of the result box: the count of all, the last lines only, and a line that
    // somehow holds a separator of the reply cannot break it.
    void resultsReply() {
        QCOMPARE(BuildResultsReply({}), QByteArray("[Results]count=0||"));
        ServerResultsFields two{2, {"3.2^7+1 divides F_5", "5.2^25+1 divides F_23"}};
        QCOMPARE(BuildResultsReply(two), QByteArray("[Results]count=2|3.2^7+1 divides F_5\r5.2^25+1 divides F_23|"));
        ServerResultsFields many;
        for (int i = 1; i <= 30; ++i) many.lastLines << QString("%1.2^9+1 divides F_7").arg(i);
        many.count = 30;
        const QByteArray reply = BuildResultsReply(many);
        QVERIFY(reply.startsWith("[Results]count=30|11.2^9+1 divides F_7\r12."));
        QVERIFY(reply.endsWith("\r30.2^9+1 divides F_7|"));
        QCOMPARE(reply.count('\r'), kResultsReplyLines - 1);
        ServerResultsFields odd{1, {"a|b\rc\nd"}};
        QCOMPARE(BuildResultsReply(odd), QByteArray("[Results]count=1|a b c d|"));
    }

    // Each message reaches its handler only; start, continue and stop only while enabled.
    void dispatch_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QStringList>("calls");
        const auto run = [](ServerCommand c) { return QString("run %1").arg(int(c)); };
        QTest::newRow("start enabled") << QByteArray("[Start]") << true << QStringList{run(ServerCommand::Start)};
        QTest::newRow("start disabled") << QByteArray("[Start]") << false << QStringList{};
        QTest::newRow("continue enabled") << QByteArray("[Continue]x") << true
                                          << QStringList{run(ServerCommand::Continue)};
        QTest::newRow("continue disabled") << QByteArray("[Continue]") << false << QStringList{};
        QTest::newRow("stop enabled") << QByteArray("[Stop]") << true << QStringList{run(ServerCommand::Stop)};
        QTest::newRow("stop disabled") << QByteArray("[Stop]") << false << QStringList{};
        QTest::newRow("windows service always") << QByteArray("[WindowsService]") << false
                                                << QStringList{run(ServerCommand::WindowsService)};
        QTest::newRow("receive always")
            << QByteArray("[ReceiveParameters]") << false
            << QStringList{"reply " + QString::fromLatin1(BuildStateReply(StoppedAt52()))};
        QTest::newRow("set fills boxes only") << QByteArray("[SetParameters]a=1,b=2,c=3,d=4,") << false
                                              << QStringList{"boxes 1|2|3|4"};
        QTest::newRow("results always") << QByteArray("[ReceiveResults]") << false
                                        << QStringList{"reply [Results]count=1|3.2^7+1 divides F_5|"};
        QTest::newRow("unknown ignored") << QByteArray("[start]") << true << QStringList{};
        QTest::newRow("binary ignored") << Bytes("\x01\x02\xff") << true << QStringList{};
    }
    void dispatch() {
        QFETCH(QByteArray, message);
        QFETCH(bool, enabled);
        QFETCH(QStringList, calls);
        RecordingTarget target;
        target.enabled = enabled;
        target.state = StoppedAt52();
        target.results = {1, {"3.2^7+1 divides F_5"}};
        HandleServerMessage(message, target);
        QCOMPARE(target.calls, calls);
    }
};

QTEST_APPLESS_MAIN(ControlProtocolTest)
#include "control_protocol_test.moc"
