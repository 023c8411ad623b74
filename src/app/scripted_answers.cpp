#include "app/scripted_answers.h"

#include <QEventLoop>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace vemo {
namespace {

// The answer for the next request: the list in turn, the last one repeating.
template <typename T>
const T& InTurn(const QList<T>& list, int& next) {
    const T& answer = list[std::min<int>(next, static_cast<int>(list.size()) - 1)];
    ++next;
    return answer;
}

}  // namespace

MessageSink AnswerInNestedLoop(MessageSink answer, int milliseconds) {
    return [answer = std::move(answer), milliseconds](const MessageRequest& request) {
        QEventLoop loop;
        QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
        loop.exec();
        return answer(request);
    };
}

MessageSink ScriptedMessageSink(const QString& answers, int pause_ms, bool nested) {
    const QStringList list = answers.split(',', Qt::SkipEmptyParts);
    MessageSink answer = [list, next = 0](const MessageRequest&) mutable {
        if (list.isEmpty()) return kMessageOk;
        return InTurn(list, next).toInt() == kMessageCancel ? kMessageCancel : kMessageOk;
    };
    if (nested) answer = AnswerInNestedLoop(std::move(answer), pause_ms);
    return [answer, pause_ms, nested](const MessageRequest& request) {
        std::fprintf(stderr, "message: %s\n", request.text.c_str());
        std::fflush(stderr);
        // A pause, as a person would take.
        if (!nested) QThread::msleep(static_cast<unsigned long>(pause_ms));
        return answer(request);
    };
}

FileChooser ScriptedFileChooser(const QString& answers) {
    const QStringList list = answers.split(';');
    return [list, next = 0](const FileRequest& request) mutable -> std::optional<QString> {
        std::fprintf(stderr, "file: %s\n", qPrintable(request.title));
        std::fflush(stderr);
        const QString& answer = InTurn(list, next);
        if (answer.isEmpty()) return std::nullopt;
        return answer;
    };
}

}  // namespace vemo
