namespace dorvi { int placeholder_rules; }
