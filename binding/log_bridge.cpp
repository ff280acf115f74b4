#include "binding/log_bridge.hpp"

#include <memory>
#include <mutex>
#include <string>

#include "binding/py.hpp"
#include "core/base/log.hpp"

namespace bramwex::binding {

namespace {

using core::log::Level;

// logging's numbers; trace sits below DEBUG, where logging has no name.
int python_level(Level level) {
    switch (level) {
        case Level::Error:
            return 40;
        case Level::Warn:
            return 30;
        case Level::Info:
            return 20;
        case Level::Debug:
            return 10;
        case Level::Trace:
            return 5;
    }
    return 5;
}

std::string logger_name(std::string_view target) {
    std::string name;
    name.reserve(target.size());
    for (size_t k = 0; k < target.size(); ++k) {
        if (target.substr(k, 2) == "::") {
            name += '.';
            ++k;
        } else {
            name += target[k];
        }
    }
    return name;
}

class PythonLogging : public core::log::Logger {
  public:
    // Python's own configuration decides, record by record, under the lock.
    bool enabled(Level, std::string_view) const override { return true; }

    void log(Level level, std::string_view target, std::string_view message) override {
        // Records may come from any engine thread, and must never take an
        // exception back into it.
        try {
            if (!Py_IsInitialized()) {
                return;
            }
            const std::string name = logger_name(target);
            Gil held;
            if (!hand_to_logging(name, level, message)) {
                PyErr_Clear();
            }
        } catch (...) {
        }
    }

    void flush() override {}

  private:
    static bool hand_to_logging(const std::string& name, Level level, std::string_view message) {
        Ref get_logger = import_attribute("logging", "getLogger");
        Ref logger = get_logger
                         ? Ref::steal(PyObject_CallFunction(get_logger.get(), "s#", name.data(),
                                                            static_cast<Py_ssize_t>(name.size())))
                         : Ref();
        Ref number = Ref::steal(PyLong_FromLong(python_level(level)));
        Ref text = str_from(message);
        if (!logger || !number || !text) {
            return false;
        }
        // logging formats only when arguments follow, so the text goes as is.
        Ref done =
            Ref::steal(PyObject_CallMethod(logger.get(), "log", "OO", number.get(), text.get()));
        return static_cast<bool>(done);
    }
};

}  // namespace

void install_log_bridge() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        if (core::log::set_logger(std::make_unique<PythonLogging>())) {
            core::log::set_max_level(Level::Debug);
        }
    });
}

}  // namespace bramwex::binding
