namespace dorvi { int placeholder_bot; }
