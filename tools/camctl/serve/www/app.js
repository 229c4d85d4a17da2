// The page script; the page helper replaces this placeholder.
