// Page menu of the diagnostics console: a tree of pages, each a fixed menu
// text and a key handler, one page current at a time. PageSet decides for
// each key whether it navigates (x back, ESC home, space repeat) or goes to
// the current page's handler. Keys arrive one at a time in the console task
// only, so nothing here needs a lock. Page objects are built statically and
// live for the whole run.
#pragma once

#include <cstdint>

#include "errcodes.h"

constexpr uint8_t ESC = 27;  // the key that goes back to the main menu

// A page's key handler: EC_SUCCESS when the key was dealt with and its output
// is complete, EC_FAIL when the key is not the page's or the menu is to be
// shown again after the key's action.
using PAGE_WORKER_FUNC = ERROR_CODES_E (*)(char key);
using PAGE_PRINT_FUNC = void (*)(const char* text);

class PageItem {
public:
    PageItem(const char* layoutText, PAGE_WORKER_FUNC keyWorker, PAGE_PRINT_FUNC printFunc);

    void Owner(PageItem* page);
    PageItem* Owner() const;
    // Prints the page's menu text.
    void Show() const;
    ERROR_CODES_E Worker(char key) const;

private:
    PageItem* owner;  // the page this one was last opened from; null until then
    const char* const layout;
    const PAGE_WORKER_FUNC worker;
    const PAGE_PRINT_FUNC print;
};

class PageSet {
public:
    static constexpr char KEY_BACK = 'x';
    static constexpr char KEY_REPEAT = ' ';

    // The root is the home page and the first current page; nothing is printed.
    explicit PageSet(PageItem* root);

    // Opens a sub-page from the current one and prints its menu.
    void LoadPage(PageItem* page);
    // Handles one key typed on the console.
    void Worker(char key);
    const PageItem* Current() const;

private:
    PageItem* const rootPage;  // fixed at construction
    PageItem* currentPage;
    char lastKeyEntry;  // last key acted on, after repeat substitution
};
