#include "engine/reply_rules.h"

namespace corvanel {

QString verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Answer:
        return QStringLiteral("answer");
    case Verdict::Unrecognised:
        return QStringLiteral("left out: no known token");
    case Verdict::BeforeInquiry:
        return QStringLiteral("left out: arrived before any inquiry");
    case Verdict::NothingInFlight:
        return QStringLiteral("left out: no line was waiting for it");
    case Verdict::StalePassEnd:
        return QStringLiteral("left out: \"DOWNLOAD\" answers only the pass's last line");
    case Verdict::EarlyOk:
        return QStringLiteral(
            "left out: the pass's last line is answered by \"DOWNLOAD\", not \"OK\"");
    case Verdict::LateVersion:
        return QStringLiteral("left out: a late answer to an inquiry");
    case Verdict::SecondAnswer:
        return QStringLiteral("left out: a second answer to a line sent again");
    case Verdict::OtherPort:
        return QStringLiteral("left out: from a port that is not the device's");
    case Verdict::RunOver:
        return QStringLiteral("left out: the attempt is over");
    case Verdict::BoardThere:
        return QStringLiteral("answer: a board is there");
    case Verdict::BoardStays:
        return QStringLiteral("answer: the board done is still there");
    case Verdict::NotAVersion:
        return QStringLiteral("left out: only \"VER=\" tells that a board is there");
    case Verdict::LaneStopped:
        return QStringLiteral("left out: the lane has stopped");
    case Verdict::NotExpected:
        return QStringLiteral("left out: not expected now");
    }
    return {};
}

Verdict judgeReply(const Policy &policy, Asked &asked, std::optional<Flight> &flight,
                   protocol::ReplyKind kind)
{
    using protocol::ReplyKind;
    if (kind == ReplyKind::Other)
        return Verdict::Unrecognised;
    if (!policy.repliesBeforeInquiryCount && !asked.inquired)
        return Verdict::BeforeInquiry;
    if (kind == ReplyKind::Version)
        ++asked.versions;

    if (!flight) {
        switch (kind) {
        case ReplyKind::Version:
            asked.versionTaken = true;
            return Verdict::Answer;
        case ReplyKind::Error:
            return Verdict::Answer;
        case ReplyKind::Ok:
            // The window sends the first line of a newly loaded image on any
            // "OK"; unattended, an "OK" with nothing in flight is left over.
            return policy.okStartsImage ? Verdict::Answer : Verdict::NothingInFlight;
        case ReplyKind::PassEnd:
        case ReplyKind::Other:
            break;
        }
        return Verdict::NothingInFlight;
    }

    if (flight->stage == Flight::Stage::Settling) {
        // The device refused one of the copies: that outweighs the answer
        // held back, never a reply to count and forget.
        if (kind == ReplyKind::Error) {
            flight.reset();
            return Verdict::Answer;
        }
        if (--flight->owed <= 0)
            flight.reset();
        return Verdict::SecondAnswer;
    }

    if (kind == ReplyKind::PassEnd && !flight->endsPass)
        return Verdict::StalePassEnd;
    if (!policy.okAnswersLastLine && kind == ReplyKind::Ok && flight->endsPass)
        return Verdict::EarlyOk;
    if (!policy.versionAnswersLine && kind == ReplyKind::Version)
        return Verdict::LateVersion;
    // Only a line sent more than once owes further answers.
    if (flight->sends > 1) {
        flight->stage = Flight::Stage::Settling;
        flight->owed = flight->sends - 1;
    } else {
        flight.reset();
    }
    return Verdict::Answer;
}

bool isCopy(const Asked &asked, Verdict verdict, protocol::ReplyKind kind)
{
    switch (verdict) {
    case Verdict::StalePassEnd:
    case Verdict::EarlyOk:
        return true;
    case Verdict::LateVersion:
        return asked.versions > asked.inquiries;
    case Verdict::NothingInFlight:
        // Before the device answered the inquiry, no line has been asked.
        return kind != protocol::ReplyKind::Other && asked.versionTaken;
    default:
        break;
    }
    return false;
}

} // namespace corvanel
