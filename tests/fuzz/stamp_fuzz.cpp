// Fuzz target: arbitrary bytes as a package's certificate table, through the campaign
// slot's reader (FindStampSlot, then ReadStamp on the area it finds), and the same bytes as
// a stamp area on their own (ReadStamp).
//
// Invariants: both agree exactly with a model written independently below: the table is
// parsed into lists of elements and walked by position, the grammar is a regular
// expression; every offset returned lies inside the input.

#include "FuzzSupport.h"
#include "package/CampaignStamp.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using wrapper::TextView;
using wrapper::package::SlotStatus;
using wrapper::package::StampSlot;
using wrapper::package::StampStatus;

struct Element {
    std::uint8_t tag;
    std::size_t begin;  // content
    std::size_t end;
};

// The elements in [from, to) of `data` as far as they are well formed (definite, minimal
// length of at most three bytes, inside the range); `whole` when that is all of them.
struct Elements {
    std::vector<Element> list;
    bool whole = false;
};

Elements Parse(const std::uint8_t* data, std::size_t from, std::size_t to) {
    Elements elements;
    while (from < to) {
        if (to - from < 2) return elements;
        const std::uint8_t first = data[from + 1];
        std::size_t head = 2;
        std::size_t length = first;
        if (first >= 0x80) {
            const std::size_t count = first - 0x80u;
            if (count < 1 || count > 3 || to - from < 2 + count || data[from + 2] == 0)
                return elements;
            length = 0;
            for (std::size_t i = 0; i < count; ++i) length = length * 256 + data[from + 2 + i];
            if (length < 0x80) return elements;
            head += count;
        }
        if (length > to - from - head) return elements;
        elements.list.push_back({data[from], from + head, from + head + length});
        from += head + length;
    }
    elements.whole = true;
    return elements;
}

struct ModelSlot {
    SlotStatus status = SlotStatus::Found;
    std::size_t contentOffset = 0;
    std::size_t contentSize = 0;
    std::size_t areaOffset = 0;
    std::size_t areaSize = 0;
};

bool Has(const Elements& elements, std::size_t i, std::uint8_t tag) {
    return elements.list.size() > i && elements.list[i].tag == tag;
}

ModelSlot ModelFindSlot(const std::uint8_t* data, std::size_t size) {
    ModelSlot slot;
    const auto fail = [&slot](SlotStatus status) {
        slot.status = status;
        return slot;
    };
    if (size < 9) return fail(SlotStatus::NotOneEntry);
    const std::size_t length = data[0] | data[1] << 8 | data[2] << 16 | std::size_t{data[3]} << 24;
    if (length < 9 || length > size || (length + 7) / 8 * 8 != size || data[4] != 0 ||
        data[5] != 2 || data[6] != 2 || data[7] != 0) {
        return fail(SlotStatus::NotOneEntry);
    }
    const Elements entry = Parse(data, 8, length);
    if (!Has(entry, 0, 0x30)) return fail(SlotStatus::BadSignature);
    for (std::size_t i = entry.list[0].end; i < size; ++i) {
        if (data[i] != 0) return fail(SlotStatus::Padding);
    }
    const auto inside = [data](const Element& e) { return Parse(data, e.begin, e.end); };
    const Elements contentInfo = inside(entry.list[0]);
    static const std::uint8_t kSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                               0x0D, 0x01, 0x07, 0x02};
    if (!Has(contentInfo, 0, 0x06) || !Has(contentInfo, 1, 0xA0))
        return fail(SlotStatus::BadSignature);
    const Element& type = contentInfo.list[0];
    if (type.end - type.begin != sizeof kSignedData ||
        std::memcmp(data + type.begin, kSignedData, sizeof kSignedData) != 0) {
        return fail(SlotStatus::BadSignature);
    }
    const Elements wrapped = inside(contentInfo.list[1]);
    if (!Has(wrapped, 0, 0x30)) return fail(SlotStatus::BadSignature);
    const Elements signedData = inside(wrapped.list[0]);
    std::size_t i = 3;
    if (!Has(signedData, 0, 0x02) || !Has(signedData, 1, 0x31) || !Has(signedData, 2, 0x30)) {
        return fail(SlotStatus::BadSignature);
    }
    if (Has(signedData, i, 0xA0)) ++i;
    if (Has(signedData, i, 0xA1)) ++i;
    if (!Has(signedData, i, 0x31)) return fail(SlotStatus::BadSignature);
    const Elements signers = inside(signedData.list[i]);
    if (!Has(signers, 0, 0x30)) return fail(SlotStatus::BadSignature);
    const Elements signer = inside(signers.list[0]);
    std::size_t j = 3;
    if (!Has(signer, 0, 0x02) || !(Has(signer, 1, 0x30) || Has(signer, 1, 0x80)) ||
        !Has(signer, 2, 0x30)) {
        return fail(SlotStatus::BadSignature);
    }
    if (Has(signer, j, 0xA0)) ++j;
    if (!Has(signer, j, 0x30) || !Has(signer, j + 1, 0x04)) return fail(SlotStatus::BadSignature);
    j += 2;
    if (signer.whole && signer.list.size() == j) return fail(SlotStatus::NoSlot);
    if (!signer.whole || signer.list.size() != j + 1 || signer.list[j].tag != 0xA1) {
        return fail(SlotStatus::BadSignature);
    }

    static const std::uint8_t kSlotType[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82,
                                             0xCF, 0x29, 0x01, 0x02, 0x01};
    const Elements attributes = inside(signer.list[j]);
    std::optional<Element> values;
    for (const Element& element : attributes.list) {
        const Elements attribute = inside(element);
        if (element.tag != 0x30 || !attribute.whole || attribute.list.size() != 2 ||
            !Has(attribute, 0, 0x06) || !Has(attribute, 1, 0x31)) {
            return fail(SlotStatus::BadSignature);
        }
        const Element& oid = attribute.list[0];
        if (oid.end - oid.begin != sizeof kSlotType ||
            std::memcmp(data + oid.begin, kSlotType, sizeof kSlotType) != 0) {
            continue;
        }
        if (values) return fail(SlotStatus::SecondSlot);
        values = attribute.list[1];
    }
    if (!attributes.whole) return fail(SlotStatus::BadSignature);
    if (!values) return fail(SlotStatus::NoSlot);
    const Elements strings = inside(*values);
    if (!strings.whole || strings.list.size() != 1 || strings.list[0].tag != 0x0C) {
        return fail(SlotStatus::BadSlot);
    }
    const Element& content = strings.list[0];
    const std::string_view text(reinterpret_cast<const char*>(data) + content.begin,
                                content.end - content.begin);
    if (text.substr(0, 16) != "---BEGIN_BLOB---") return fail(SlotStatus::BadSlot);
    const std::size_t end = text.substr(16).rfind("---END_BLOB---");
    slot.contentOffset = content.begin;
    slot.contentSize = text.size();
    slot.areaOffset = content.begin + 16;
    slot.areaSize = end == std::string_view::npos ? text.size() - 16 : end;
    return slot;
}

StampStatus ModelReadStamp(const std::uint8_t* data, std::size_t size, std::string& text) {
    const std::string area(reinterpret_cast<const char*>(data), size);
    if (area.find_first_not_of('\0') == std::string::npos) return StampStatus::Unstamped;
    const std::string prefix = "wrapper-campaign:";
    if (area.compare(0, prefix.size(), prefix) != 0) return StampStatus::Invalid;
    const std::size_t zero = area.find('\0', prefix.size());
    text = area.substr(prefix.size(),
                       zero == std::string::npos ? std::string::npos : zero - prefix.size());
    if (zero != std::string::npos && area.find_first_not_of('\0', zero) != std::string::npos) {
        return StampStatus::Invalid;
    }
    static const std::regex grammar(
        "[A-Za-z0-9_.-]{1,32}=([A-Za-z0-9._~-]|%[0-9A-Fa-f]{2})+"
        "(&[A-Za-z0-9_.-]{1,32}=([A-Za-z0-9._~-]|%[0-9A-Fa-f]{2})+)*");
    if (text.empty() || text.size() > 200 || !std::regex_match(text, grammar)) {
        return StampStatus::Invalid;
    }
    std::set<std::string> names;
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t amp = std::min(text.find('&', from), text.size());
        if (!names.insert(text.substr(from, text.find('=', from) - from)).second) {
            return StampStatus::Invalid;
        }
        from = amp + 1;
    }
    return StampStatus::Stamped;
}

void CheckStamp(const std::uint8_t* area, std::size_t size) {
    TextView text = {};
    std::string expected;
    const StampStatus status =
        wrapper::package::ReadStamp(area, static_cast<std::uint32_t>(size), text);
    FUZZ_CHECK(status == ModelReadStamp(area, size, expected));
    if (status == StampStatus::Stamped) {
        FUZZ_CHECK(std::string(text.data, text.length) == expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > wrapper::package::kStampTableLimit) return 0;
    const auto size32 = static_cast<std::uint32_t>(size);
    StampSlot slot;
    const SlotStatus status = wrapper::package::FindStampSlot(data, size32, slot);
    const ModelSlot expected = ModelFindSlot(data, size);
    FUZZ_CHECK(status == expected.status);
    if (status == SlotStatus::Found) {
        FUZZ_CHECK(slot.contentOffset == expected.contentOffset);
        FUZZ_CHECK(slot.contentSize == expected.contentSize);
        FUZZ_CHECK(slot.areaOffset == expected.areaOffset);
        FUZZ_CHECK(slot.areaSize == expected.areaSize);
        FUZZ_CHECK(slot.areaOffset + slot.areaSize <= size);
        CheckStamp(data + slot.areaOffset, slot.areaSize);
    }
    CheckStamp(data, size);
    return 0;
}
