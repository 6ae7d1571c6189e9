int helper() { return 0; }
