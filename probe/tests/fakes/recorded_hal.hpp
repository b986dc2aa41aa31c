// A scripted audio HAL for tests: answers from tables of replies and records every read it
// was asked (object, address, qualifier, buffer size and the buffer's bytes on entry).
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "audio.hpp"

namespace zelk::probe::testing {

class RecordedHal final : public AudioHal {
public:
    struct Read {
        bool size_query;
        ObjectId object;
        PropertyAddress address;
        std::uint32_t qualifier_size;
        std::optional<std::int32_t> qualifier;  // a 4-byte qualifier, read as a pid
        std::uint32_t data_size;                 // as passed in
        std::vector<std::uint8_t> initial;       // the buffer on entry (data reads)
    };

    // --- scripting -------------------------------------------------------------------------
    void reply(ObjectId object, std::uint32_t selector, Status status, std::vector<std::uint8_t> bytes = {}) {
        data_[{object, selector, std::nullopt}] = {status, std::move(bytes)};
    }
    void u32(ObjectId object, std::uint32_t selector, std::uint32_t value) { reply(object, selector, 0, bytesOf(value)); }
    void i32(ObjectId object, std::uint32_t selector, std::int32_t value) { reply(object, selector, 0, bytesOf(value)); }
    void fail(ObjectId object, std::uint32_t selector, Status status = STATUS_UNKNOWN_PROPERTY) {
        reply(object, selector, status);
    }
    // The process object list; its size query answers 4 bytes per object unless listSize overrides it.
    void list(const std::vector<ObjectId>& objects) {
        std::vector<std::uint8_t> bytes;
        for (const ObjectId o : objects) {
            const auto b = bytesOf(o);
            bytes.insert(bytes.end(), b.begin(), b.end());
        }
        reply(SYSTEM_OBJECT, SEL_PROCESS_OBJECT_LIST, 0, bytes);
        sizes_[SYSTEM_OBJECT] = {0, static_cast<std::uint32_t>(bytes.size())};
    }
    void listSize(std::uint32_t size, Status status = 0) { sizes_[SYSTEM_OBJECT] = {status, size}; }
    void translation(std::int32_t pid, ObjectId object, Status status = 0) {
        data_[{SYSTEM_OBJECT, SEL_TRANSLATE_PID, pid}] = {status, bytesOf(object)};
    }
    // A bundle read of `object` hands over a fresh reference to `text`.
    void bundle(ObjectId object, std::string text) { bundles_[object] = std::move(text); }
    void nullBundle(ObjectId object) { reply(object, SEL_BUNDLE_ID, 0, bytesOf(StringRef{nullptr})); }
    // A capturing process object with its pid and, when given, its bundle.
    void process(ObjectId object, std::int32_t pid, std::optional<std::string> bundle_text) {
        u32(object, SEL_IS_RUNNING_INPUT, 1);
        i32(object, SEL_PROCESS_PID, pid);
        if (bundle_text) bundle(object, *bundle_text);
        else nullBundle(object);
    }

    // --- what was asked --------------------------------------------------------------------
    std::vector<Read> reads;
    std::vector<std::string> taken;  // texts of references taken, in order
    int bad_takes = 0;               // takes of a reference not handed over, or taken twice
    std::size_t outstanding() const { return handed_.size(); }

    // Each read as "size <object> <code>" or "get <object> <code>[(<pid>)] <bytes>".
    std::vector<std::string> trace() const {
        std::vector<std::string> lines;
        for (const auto& r : reads) {
            std::string line = r.size_query ? "size " : "get ";
            line += std::to_string(r.object) + " " + code(r.address.selector);
            if (r.qualifier) line += "(" + std::to_string(*r.qualifier) + ")";
            if (!r.size_query) line += " " + std::to_string(r.data_size);
            lines.push_back(line);
        }
        return lines;
    }

    // --- AudioHal ----------------------------------------------------------------------------
    Status propertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t qualifier_size,
                            const void* qualifier, std::uint32_t& data_size) override {
        reads.push_back({true, object, address, qualifier_size, qualifierOf(qualifier_size, qualifier), data_size, {}});
        if (address.selector != SEL_PROCESS_OBJECT_LIST) return STATUS_UNKNOWN_PROPERTY;
        const auto it = sizes_.find(object);
        if (it == sizes_.end()) return STATUS_UNKNOWN_PROPERTY;
        if (it->second.first == 0) data_size = it->second.second;
        return it->second.first;
    }

    Status propertyData(ObjectId object, const PropertyAddress& address, std::uint32_t qualifier_size,
                        const void* qualifier, std::uint32_t& data_size, void* data) override {
        const auto pid = qualifierOf(qualifier_size, qualifier);
        std::vector<std::uint8_t> initial(data_size);
        if (data != nullptr && data_size > 0) std::memcpy(initial.data(), data, data_size);
        reads.push_back({false, object, address, qualifier_size, pid, data_size, std::move(initial)});

        if (address.selector == SEL_BUNDLE_ID && bundles_.count(object) != 0) {
            if (data_size < sizeof(StringRef)) return STATUS_BAD_SIZE;
            storage_.push_back(bundles_[object]);
            const StringRef ref = &storage_.back();
            handed_.insert(ref);
            std::memcpy(data, &ref, sizeof ref);
            data_size = sizeof ref;
            return 0;
        }
        const auto it = data_.find({object, address.selector, pid});
        if (it == data_.end()) return STATUS_UNKNOWN_PROPERTY;  // the buffer stays as it was
        const auto& [status, bytes] = it->second;
        if (status != 0) return status;
        const std::size_t n = std::min<std::size_t>(bytes.size(), data_size);
        if (n > 0) std::memcpy(data, bytes.data(), n);
        data_size = static_cast<std::uint32_t>(n);
        return 0;
    }

    std::string takeString(StringRef ref) override {
        if (handed_.erase(ref) == 0) {
            ++bad_takes;
            return {};
        }
        taken.push_back(*static_cast<const std::string*>(ref));
        return taken.back();
    }

    static std::string code(std::uint32_t selector) {
        std::string s(4, ' ');
        for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(selector >> (24 - 8 * i));
        return s;
    }

private:
    template <class T>
    static std::vector<std::uint8_t> bytesOf(const T& value) {
        std::vector<std::uint8_t> bytes(sizeof(T));
        std::memcpy(bytes.data(), &value, sizeof(T));
        return bytes;
    }
    static std::optional<std::int32_t> qualifierOf(std::uint32_t size, const void* qualifier) {
        if (size != sizeof(std::int32_t) || qualifier == nullptr) return std::nullopt;
        std::int32_t pid = 0;
        std::memcpy(&pid, qualifier, sizeof pid);
        return pid;
    }

    using Key = std::tuple<ObjectId, std::uint32_t, std::optional<std::int32_t>>;
    std::map<Key, std::pair<Status, std::vector<std::uint8_t>>> data_;
    std::map<ObjectId, std::pair<Status, std::uint32_t>> sizes_;
    std::map<ObjectId, std::string> bundles_;
    std::deque<std::string> storage_;  // referenced texts; addresses stay put
    std::set<StringRef> handed_;
};

}  // namespace zelk::probe::testing
