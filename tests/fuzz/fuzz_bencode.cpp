// Fuzz target for the bencode element tree: any bytes either fail to parse or
// give a tree that writes out and parses back to the same canonical bytes,
// with lookups and text conversion that do not crash.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/meta/Bencode.h"

namespace {

void Exercise(engine::QElement* element, int depth) {
    if (!element || depth > 8) return;
    (void)engine::GetLocalText(element);
    (void)element->FindValue("info");
    (void)element->FindText("ANNOUNCE");
    (void)element->ToText("/");
    const int count = element->GetCount();
    for (int i = 0; i < count && i < 64; ++i) {
        engine::QElement* child = element->ChildAt(i);
        (void)element->NextSibling(child);
        (void)element->PrevSibling(child);
        Exercise(child, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    auto root = engine::ParseElement(bytes, static_cast<int64_t>(size));
    if (!root) return 0;
    if (root->GetEncodedLength() <= 0 || root->GetEncodedLength() > static_cast<int64_t>(size)) abort();

    engine::QByteBuffer first;
    if (!engine::WriteElement(root.get(), first)) abort();
    auto again = engine::ParseElement(first.Data(), static_cast<int64_t>(first.Length()));
    if (!again || again->GetEncodedLength() != static_cast<int64_t>(first.Length())) abort();
    engine::QByteBuffer second;
    if (!engine::WriteElement(again.get(), second) || second.View() != first.View()) abort();

    root->SetCodePage(936);
    Exercise(root.get(), 0);
    // Moving the first child to the end keeps the tree writable.
    if (root->GetCount() > 1 && root->Append(root->ChildAt(0))) {
        engine::QByteBuffer moved;
        if (!engine::WriteElement(root.get(), moved) || moved.Length() != first.Length()) abort();
    }
    return 0;
}
