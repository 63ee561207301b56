// The SQL layer: relational operators over the components' datasets.
namespace tolvan {
// Keeps the library linkable while it has no other translation unit.
int SqlLayerVersion() { return 1; }
} // namespace tolvan
