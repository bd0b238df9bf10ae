// One message from the control server, whatever its bytes: the command is recognised or not,
// "[SetParameters]" never lets a line break or NUL into the task boxes, and a state reply is
// built without fault.
#include <QByteArray>
#include <cstdint>

#include "remote/ControlProtocol.h"

namespace {

class Target : public vontal::IControlTarget {
public:
    bool CommandEnabled(vontal::ServerCommand) const override { return true; }
    void RunCommand(vontal::ServerCommand) override {}
    vontal::ServerStateFields CurrentState() const override { return state; }
    vontal::ServerResultsFields CurrentResults() const override { return results; }
    void SetTaskBoxes(const vontal::TaskBoxTexts& texts) override {
        for (const QString* s : {&texts.nFirst, &texts.nLast, &texts.kLow, &texts.kHigh})
            if (s->contains(QLatin1Char('\r')) || s->contains(QLatin1Char('\n')) || s->contains(QChar(0)))
                __builtin_trap();
        state.nTemp = texts.nFirst;
        state.kMax = texts.kHigh;
    }
    void SendReply(const QByteArray& reply) override {
        if (!reply.startsWith("[CurrentParameters]") && !reply.startsWith("[Results]")) __builtin_trap();
    }
    vontal::ServerStateFields state;
    vontal::ServerResultsFields results{1, {"3.2^7+1 divides F_5"}};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray message(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    Target target;
    vontal::HandleServerMessage(message, target);
    (void)vontal::ParseSetParameters(message);
    vontal::HandleServerMessage(QByteArray("[ReceiveParameters]"), target);
    return 0;
}
