// Keeps the library non-empty until the module's sources land.
