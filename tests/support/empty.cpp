// Keeps the helper library non-empty while it has no other sources.
