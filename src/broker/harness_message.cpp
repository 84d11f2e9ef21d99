// Messages for evaluate: a version-2 descriptor with chosen put date and time,
// identifiers and application, followed by payload bytes.
#include <time.h>

#include <algorithm>
#include <cstring>

#include "broker/harness.h"

namespace standin {

namespace {

// Copies `text` into a fixed character field, blank-padded or cut.
template <size_t N>
void putField(char (&field)[N], std::string_view text) {
    std::memset(field, ' ', N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

BrkMqmd descriptorOf(const MessageSpec& recipe) {
    BrkMqmd md;
    std::memset(&md, 0, sizeof md);
    std::memcpy(md.strucId, "MD  ", 4);
    md.version = 2;
    md.msgType = 8;     // datagram
    md.expiry = -1;     // unlimited
    md.encoding = 546;  // native integers on this platform
    md.codedCharSetId = 819;
    putField(md.format, "MQSTR");
    md.persistence = 0;
    std::memcpy(md.msgId, recipe.msgId.data(), sizeof md.msgId);
    std::memcpy(md.correlId, recipe.correlId.data(), sizeof md.correlId);
    putField(md.replyToQ, "");
    putField(md.replyToQMgr, "");
    putField(md.userIdentifier, "broker");
    putField(md.applIdentityData, "");
    md.putApplType = recipe.putApplType;
    putField(md.putApplName, recipe.putApplName);

    std::string date = recipe.putDate, time = recipe.putTime;
    if (date.empty() || time.empty()) {
        std::string nowDate, nowTime;
        putDateTimeOf(std::chrono::system_clock::now(), nowDate, nowTime);
        if (date.empty())
            date = nowDate;
        if (time.empty())
            time = nowTime;
    }
    putField(md.putDate, date);
    putField(md.putTime, time);
    putField(md.applOriginData, "");
    md.msgSeqNumber = 1;
    md.originalLength = -1;
    return md;
}

}  // namespace

void putDateTimeOf(std::chrono::system_clock::time_point when, std::string& putDate,
                   std::string& putTime) {
    using namespace std::chrono;
    const auto sinceEpoch = when.time_since_epoch();
    const auto seconds = floor<std::chrono::seconds>(sinceEpoch);
    const auto hundredths = duration_cast<milliseconds>(sinceEpoch - seconds).count() / 10;
    const time_t whole = static_cast<time_t>(seconds.count());
    tm broken{};
    gmtime_r(&whole, &broken);
    char date[48], time[48];
    std::snprintf(date, sizeof date, "%04d%02d%02d", broken.tm_year + 1900, broken.tm_mon + 1,
                  broken.tm_mday);
    std::snprintf(time, sizeof time, "%02d%02d%02d%02d", broken.tm_hour, broken.tm_min,
                  broken.tm_sec, static_cast<int>(hundredths));
    putDate = date;
    putTime = time;
}

MessageSpec& MessageSpec::putSecondsAgo(double seconds) {
    const auto ago = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(seconds));
    putDateTimeOf(std::chrono::system_clock::now() - ago, putDate, putTime);
    return *this;
}

std::vector<unsigned char> buildStream(const MessageSpec& recipe) {
    const BrkMqmd md = descriptorOf(recipe);
    std::vector<unsigned char> stream(recipe.totalSize);
    if (!stream.empty())  // an empty vector's data() may be null
        std::memcpy(stream.data(), &md, std::min(recipe.totalSize, sizeof md));
    // Payload: a recognisable byte pattern.
    for (size_t i = sizeof md; i < stream.size(); ++i) {
        stream[i] = static_cast<unsigned char>('a' + i % 26);
    }
    return stream;
}

Message Message::fromSpec(const MessageSpec& recipe) {
    return fromBytes(buildStream(recipe));
}

Message Message::fromBytes(std::vector<unsigned char> stream) {
    Message message;
    message.object_->stream = std::move(stream);
    return message;
}

Message Message::withoutStream() {
    Message message;
    message.object_->hasStream = false;
    return message;
}

}  // namespace standin
