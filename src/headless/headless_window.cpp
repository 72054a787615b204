#include "headless/headless_window.h"

#include <cstddef>
#include <utility>

namespace vantel {

// The device list: an unsorted combo box in memory. Handlers change it on the
// loop thread; the snapshots read it from any thread, hence the lock.
class HeadlessWindow::List : public DeviceList {
public:
    void resetContent() override {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.clear();
        selection_ = -1;
    }
    void addString(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(text);
    }
    void setCurSel(int index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        // Like CB_SETCURSEL: an index outside the list clears the selection.
        selection_ = (index >= 0 && index < static_cast<int>(items_.size())) ? index : -1;
    }
    int getCurSel() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return selection_;
    }
    int getCount() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(items_.size());
    }
    std::string getItemText(int index) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index < 0 || index >= static_cast<int>(items_.size())) return {};
        return items_[static_cast<std::size_t>(index)];
    }
    std::vector<std::string> items() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> items_;
    int selection_ = -1;
};

HeadlessWindow::HeadlessWindow() : list_(new List) {}

HeadlessWindow::~HeadlessWindow() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            // Destroyed from a handler, on the loop thread: the loop's frame
            // is further up this stack. It must return without touching this
            // window once the handler is back; the flag lives in that frame.
            if (abandoned_) *abandoned_ = true;
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    delete list_;
}

void HeadlessWindow::start(WindowHandler& handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) return;
    handler_ = &handler;
    thread_ = std::thread([this] { loop(); });
}

void HeadlessWindow::loop() {
    // Set by the destructor when a handler destroys the window: from then on
    // nothing of the window may be touched, its mutex included.
    bool abandoned = false;
    std::unique_lock<std::mutex> lock(mutex_);
    loopId_ = std::this_thread::get_id();
    abandoned_ = &abandoned;
    for (;;) {
        if (!queue_.empty()) {
            Task task = std::move(queue_.front());
            queue_.pop_front();
            // Once the window has ended only waited-for calls still run, so that
            // a thread blocked in invoke is always released.
            const bool run = task.isInvoke || (!ended_ && !stopping_);
            lock.unlock();
            if (run) task.fn();
            if (abandoned) {
                lock.release();  // the mutex is gone with the window
                return;
            }
            lock.lock();
            continue;
        }
        if (stopping_) break;
        if (!ended_ && !timers_.empty()) {
            auto next = timers_.begin();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (it->second.due < next->second.due) next = it;
            }
            const auto now = std::chrono::steady_clock::now();
            if (next->second.due <= now) {
                // A window timer keeps firing every period until it is killed.
                const int id = next->first;
                next->second.due = now + std::chrono::milliseconds(next->second.ms);
                WindowHandler* handler = handler_;
                lock.unlock();
                if (handler) handler->onTimer(id);
                if (abandoned) {
                    lock.release();
                    return;
                }
                lock.lock();
                continue;
            }
            // A copy: the wait lets go of the lock, and a timer killed
            // meanwhile takes its entry with it.
            const auto due = next->second.due;
            wake_.wait_until(lock, due);
        } else {
            wake_.wait(lock);
        }
    }
    loopExited_ = true;
    abandoned_ = nullptr;
}

void HeadlessWindow::postEvent(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(Task{std::move(fn), false});
    }
    wake_.notify_all();
}

void HeadlessWindow::runOnLoop(const std::function<void()>& fn) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool inline_ = !thread_.joinable() || loopExited_ ||
                         std::this_thread::get_id() == loopId_;
    if (inline_) {
        lock.unlock();
        fn();
        return;
    }
    bool done = false;
    std::condition_variable doneCv;
    queue_.push_back(Task{[&] {
                              fn();
                              std::lock_guard<std::mutex> inner(mutex_);
                              done = true;
                              doneCv.notify_all();
                          },
                          true});
    wake_.notify_all();
    doneCv.wait(lock, [&] { return done; });
}

WindowObserver* HeadlessWindow::currentObserver() {
    std::lock_guard<std::mutex> lock(mutex_);
    return observer_;
}

void HeadlessWindow::initialise(const std::function<void()>& init) { runOnLoop(init); }

bool HeadlessWindow::waitUntilEnded(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return endedCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return destroyed_; });
}

bool HeadlessWindow::ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return destroyed_;
}

void HeadlessWindow::setObserver(WindowObserver* observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = observer;
}

void HeadlessWindow::click(int id) {
    postEvent([this, id] {
        if (isControlEnabled(id) && handler_) handler_->onCommand(id);
    });
}

void HeadlessWindow::command(int id) {
    postEvent([this, id] {
        if (handler_) handler_->onCommand(id);
    });
}

void HeadlessWindow::hotKey(int id) {
    postEvent([this, id] {
        if (handler_) handler_->onHotKey(id);
    });
}

void HeadlessWindow::requestClose() { postClose(); }

void HeadlessWindow::typePath(const std::string& text) {
    postEvent([this, text] { setControlText(IDC_FIRMWARE_PATH, text); });
}

void HeadlessWindow::selectDevice(int index) {
    postEvent([this, index] { list_->setCurSel(index); });
}

void HeadlessWindow::drain() {
    runOnLoop([] {});
}

void HeadlessWindow::deviceChanged(const DeviceBroadcast& broadcast) {
    postEvent([this, broadcast] {
        if (handler_) handler_->onDeviceChange(broadcast);
    });
}

DeviceList& HeadlessWindow::deviceList() { return *list_; }

void HeadlessWindow::setControlText(int id, const std::string& text) {
    runOnLoop([&] {
        {
            std::lock_guard<std::mutex> lock(controlsMutex_);
            texts_[id] = text;
        }
        if (WindowObserver* o = currentObserver()) o->controlTextChanged(id, text);
    });
}

std::string HeadlessWindow::controlText(int id) {
    std::lock_guard<std::mutex> lock(controlsMutex_);
    auto it = texts_.find(id);
    return it == texts_.end() ? std::string() : it->second;
}

void HeadlessWindow::enableControl(int id, bool enable) {
    runOnLoop([&] {
        {
            std::lock_guard<std::mutex> lock(controlsMutex_);
            enabled_[id] = enable;
        }
        if (WindowObserver* o = currentObserver()) o->controlEnabled(id, enable);
    });
}

bool HeadlessWindow::isControlEnabled(int id) {
    std::lock_guard<std::mutex> lock(controlsMutex_);
    auto it = enabled_.find(id);
    return it == enabled_.end() ? true : it->second;
}

void HeadlessWindow::setProgressRange(int low, int high) {
    runOnLoop([&] {
        int pos;
        {
            std::lock_guard<std::mutex> lock(controlsMutex_);
            progressLow_ = low;
            progressHigh_ = high;
            pos = progressPos_;
        }
        if (WindowObserver* o = currentObserver()) o->progressChanged(low, high, pos);
    });
}

void HeadlessWindow::setProgressPos(int pos) {
    runOnLoop([&] {
        int low, high;
        {
            std::lock_guard<std::mutex> lock(controlsMutex_);
            progressPos_ = pos;
            low = progressLow_;
            high = progressHigh_;
        }
        if (WindowObserver* o = currentObserver()) o->progressChanged(low, high, pos);
    });
}

void HeadlessWindow::setTimer(int id, int ms) {
    runOnLoop([&] {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Timer& t = timers_[id];
            t.ms = ms < 0 ? 0 : ms;
            t.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(t.ms);
            t.serial = ++timerSerial_;
        }
        wake_.notify_all();
        if (WindowObserver* o = currentObserver()) o->timerChanged(id, true, ms);
    });
}

void HeadlessWindow::killTimer(int id) {
    runOnLoop([&] {
        bool wasArmed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wasArmed = timers_.erase(id) > 0;
        }
        if (wasArmed) {
            if (WindowObserver* o = currentObserver()) o->timerChanged(id, false, 0);
        }
    });
}

void HeadlessWindow::messageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    if (WindowObserver* o = currentObserver()) o->messageBox(text, caption, icon);
}

void HeadlessWindow::postClose() {
    postEvent([this] {
        if (handler_ && handler_->onCloseRequest()) endWindow();
    });
}

void HeadlessWindow::endWindow() {
    runOnLoop([this] {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (ended_) return;
            ended_ = true;
            timers_.clear();
        }
        if (handler_) handler_->onDestroy();
        if (WindowObserver* o = currentObserver()) o->windowEnded();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            destroyed_ = true;
        }
        endedCv_.notify_all();
    });
}

void HeadlessWindow::invoke(const std::function<void()>& fn) { runOnLoop(fn); }

void HeadlessWindow::post(std::function<void()> fn) { postEvent(std::move(fn)); }

bool HeadlessWindow::onUiThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::this_thread::get_id() == loopId_;
}

int HeadlessWindow::progressPos() {
    std::lock_guard<std::mutex> lock(controlsMutex_);
    return progressPos_;
}

bool HeadlessWindow::timerArmed(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.count(id) > 0;
}

std::vector<std::string> HeadlessWindow::deviceItems() { return list_->items(); }

int HeadlessWindow::selection() { return list_->getCurSel(); }

}  // namespace vantel
