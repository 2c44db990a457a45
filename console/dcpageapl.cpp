// Page menu of the diagnostics console; see dcpageapl.h. Runs in the console
// task only.
#include "dcpageapl.h"

#include "dcapl.h"

PageItem::PageItem(const char* layoutText, PAGE_WORKER_FUNC keyWorker, PAGE_PRINT_FUNC printFunc)
    : owner(nullptr), layout(layoutText), worker(keyWorker), print(printFunc)
{}

void PageItem::Owner(PageItem* page) { owner = page; }

PageItem* PageItem::Owner() const { return owner; }

void PageItem::Show() const { print(layout); }

ERROR_CODES_E PageItem::Worker(char key) const { return worker(key); }

PageSet::PageSet(PageItem* root)
    : rootPage(root), currentPage(root), lastKeyEntry(static_cast<char>(ESC))
{}

void PageSet::LoadPage(PageItem* page)
{
    page->Owner(currentPage);
    currentPage = page;
    currentPage->Show();
}

void PageSet::Worker(char key)
{
    if (key == KEY_REPEAT) {
        key = lastKeyEntry;
    }
    if (key == KEY_BACK) {
        // A page opened from nowhere has no owner: stay where we are.
        if (currentPage != rootPage && currentPage->Owner() != nullptr) {
            currentPage = currentPage->Owner();
        }
        currentPage->Show();
    } else if (key == static_cast<char>(ESC)) {
        currentPage = rootPage;
        currentPage->Show();
    } else if (currentPage->Worker(key) == EC_FAIL) {
        currentPage->Show();
    }
    lastKeyEntry = key;
}

const PageItem* PageSet::Current() const { return currentPage; }
