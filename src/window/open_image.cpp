#include "window/open_image.h"

#include "image/image_loader.h"

#include <utility>

namespace corvanel {

void LoadImageFile(Board &board, const std::function<void()> &apply, OperatorPrompts &prompts)
{
    // Every cancel is a cancel: an empty name never reloads an earlier file,
    // and it leaves the transfer in progress as it was. Clearing the pass
    // flag before the dialog would send the rest of a verify pass as download
    // records, which the device refuses.
    const QString path = prompts.askOpenFileName(QString(kHexFilter));
    if (path.isEmpty()) {
        prompts.showCancelled();
        return;
    }

    board.beginImageLoad();
    apply();

    // A fresh table: the loaded image stays whole until the new one is complete.
    auto result = readImageFile(path, kWindowMaxLines);
    if (auto *error = std::get_if<OperatorError>(&result)) {
        board.abandonImageLoad();
        apply();
        prompts.showError(*error);
        return;
    }
    board.adoptImage(TextLines::share(std::move(std::get<TextLines>(result))));
    apply();
}

} // namespace corvanel
