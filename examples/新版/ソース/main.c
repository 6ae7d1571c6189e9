int main() { return helper(); }
