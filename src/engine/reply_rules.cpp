#include "engine/reply_rules.h"

namespace corvanel {

QString verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Answer:
        return QStringLiteral("an answer");
    case Verdict::Unrecognised:
        return QStringLiteral("no known token");
    case Verdict::BeforeInquiry:
        return QStringLiteral("arrived before any inquiry");
    case Verdict::NothingInFlight:
        return QStringLiteral("no line was waiting for it");
    case Verdict::StalePassEnd:
        return QStringLiteral("\"DOWNLOAD\" answers only the pass's last line");
    case Verdict::EarlyOk:
        return QStringLiteral("the pass's last line is answered by \"DOWNLOAD\", not \"OK\"");
    case Verdict::LateVersion:
        return QStringLiteral("a late answer to an inquiry");
    case Verdict::SecondAnswer:
        return QStringLiteral("a second answer to a line sent again");
    }
    return {};
}

void ReplyRules::reset()
{
    forgetLine();
    inquired_ = false;
    inquiries_ = 0;
    versions_ = 0;
    versionTaken_ = false;
}

void ReplyRules::forgetLine()
{
    state_ = State::Idle;
    line_ = 0;
    endsPass_ = false;
    copies_ = 0;
    extraAnswers_ = 0;
}

void ReplyRules::lineSent(int line, int lineCount, bool endOfFileRecord, Millis now)
{
    state_ = State::InFlight;
    line_ = line;
    // The window also ends a pass at an end-of-file record that stands before
    // the image's last line, as its bootloader does; unattended, a pass ends
    // at the last line only, so lines after an end record are never skipped.
    endsPass_ = line == lineCount || (policy_.passEndsAtEndRecord && endOfFileRecord);
    copies_ = 1;
    extraAnswers_ = 0;
    sentAt_ = now;
}

void ReplyRules::lineResent(Millis now)
{
    if (state_ != State::InFlight)
        return;
    ++copies_;
    sentAt_ = now;
}

void ReplyRules::endSettling()
{
    if (state_ == State::Settling)
        forgetLine();
}

Verdict ReplyRules::judge(protocol::ReplyKind kind)
{
    using protocol::ReplyKind;
    if (kind == ReplyKind::Other)
        return Verdict::Unrecognised;
    if (!policy_.repliesBeforeInquiryCount && !inquired_)
        return Verdict::BeforeInquiry;
    if (kind == ReplyKind::Version)
        ++versions_;

    switch (state_) {
    case State::Settling:
        // The device refused one of the copies: that outweighs the answer
        // held back, never a reply to count and forget.
        if (kind == ReplyKind::Error) {
            forgetLine();
            return Verdict::Answer;
        }
        if (--extraAnswers_ <= 0)
            forgetLine();
        return Verdict::SecondAnswer;

    case State::Idle:
        switch (kind) {
        case ReplyKind::Version:
            versionTaken_ = true;
            return Verdict::Answer;
        case ReplyKind::Error:
            return Verdict::Answer;
        case ReplyKind::Ok:
            // The window sends the first line of a newly loaded image on any
            // "OK"; unattended, an "OK" with nothing in flight is left over.
            return policy_.okStartsImage ? Verdict::Answer : Verdict::NothingInFlight;
        case ReplyKind::PassEnd:
        case ReplyKind::Other:
            return Verdict::NothingInFlight;
        }
        break;

    case State::InFlight: {
        Verdict verdict = Verdict::Answer;
        if (kind == ReplyKind::PassEnd && !endsPass_)
            verdict = Verdict::StalePassEnd;
        else if (!policy_.okAnswersLastLine && kind == ReplyKind::Ok && endsPass_)
            verdict = Verdict::EarlyOk;
        else if (!policy_.versionAnswersLine && kind == ReplyKind::Version)
            verdict = Verdict::LateVersion;
        if (verdict != Verdict::Answer)
            return verdict;
        // Only a line sent more than once (retries) owes further answers.
        if (copies_ > 1) {
            state_ = State::Settling;
            extraAnswers_ = copies_ - 1;
        } else {
            forgetLine();
        }
        return Verdict::Answer;
    }
    }
    return Verdict::Answer;
}

bool ReplyRules::isCopy(Verdict verdict, protocol::ReplyKind kind) const
{
    switch (verdict) {
    case Verdict::StalePassEnd:
    case Verdict::EarlyOk:
        return true;
    case Verdict::LateVersion:
        return versions_ > inquiries_;
    case Verdict::NothingInFlight:
        // Before the device answered the inquiry, no line has been asked.
        return kind != protocol::ReplyKind::Other && versionTaken_;
    case Verdict::Answer:
    case Verdict::Unrecognised:
    case Verdict::BeforeInquiry:
    case Verdict::SecondAnswer:
        break;
    }
    return false;
}

} // namespace corvanel
