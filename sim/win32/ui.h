// Windows, dialogs, the message queue, message boxes and the scripted user.
#pragma once
namespace sim::win32 {
class Ui {
 public:
};
}  // namespace sim::win32
