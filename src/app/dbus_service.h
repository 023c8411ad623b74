#pragma once

// The engine's command channel for other programs: a service on the session
// bus that hands a command id to the window as a menu item would, takes the
// capture file's name, and tells the status bar's text and its changes.

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <string>

#include "base/engine_bus_names.h"

namespace vemo {

// What a question about the camera gets: the text to return, or (ok false)
// the refusal to send as an error: com.lumetra.Vemo.Error.Refused, or, for a
// value that is malformed or outside what it may be (the caller's mistake,
// not the engine's state), org.freedesktop.DBus.Error.InvalidArgs.
struct DBusAnswer {
    bool ok = true;
    std::string text;
    bool invalid_value = false;
};

struct DBusServiceCallbacks {
    // Runs on the event loop once the caller has had its answer.
    std::function<void(int id)> command;
    // nullopt when the name is taken, else the text that refuses it.
    std::function<std::optional<std::string>(const std::string& path)> set_capture_file_name;
    std::function<QString()> status_text;
    // The chosen camera's controls and formats, one per line, and changes to
    // them as the Properties dialogs make them.
    std::function<DBusAnswer()> camera_controls;
    std::function<DBusAnswer(const std::string& name, const std::string& value)> set_camera_control;
    std::function<DBusAnswer()> camera_formats;
    std::function<DBusAnswer(const std::string& format)> set_camera_format;
    // The settings file was changed: apply it as the dialogs' OK would.
    std::function<void()> reload_settings;
    // The absolute path of the settings file the engine reads, so that a
    // program writing settings writes that one.
    std::function<std::string()> settings_file;
    // The file a recording runs into, or empty while none runs.
    std::function<std::string()> recording_file;
};

class DBusService : public QDBusVirtualObject {
  public:
    DBusService(DBusServiceCallbacks callbacks, QDBusConnection connection,
                QObject* parent = nullptr);
    ~DBusService() override;
    DBusService(const DBusService&) = delete;
    DBusService& operator=(const DBusService&) = delete;

    // Exports the object and takes the name; on failure leaves nothing
    // registered and returns why.
    std::optional<QString> Register();

    // Emits StatusTextChanged(text).
    void NotifyStatusText(const QString& text);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

  private:
    void AnswerCommand(const QDBusMessage& message);
    void AnswerSetCaptureFileName(const QDBusMessage& message);
    void AnswerStatusText(const QDBusMessage& message);
    // A method with `signature` answered by `answer` (its arguments as strings):
    // its text, or the refusal as an error.
    void AnswerText(const QDBusMessage& message, const char* signature,
                    const std::function<DBusAnswer(const QStringList& arguments)>& answer);
    void Reply(const QDBusMessage& call, const QDBusMessage& reply);

    DBusServiceCallbacks callbacks_;
    QDBusConnection connection_;
    bool object_registered_ = false;
    bool name_taken_ = false;
};

// The service on the session bus, owned by `parent`. Without a bus, or with
// the name held by another program, it says so once on stderr and returns
// null: the engine runs on without it.
DBusService* StartDBusService(DBusServiceCallbacks callbacks, QObject* parent);

}  // namespace vemo
