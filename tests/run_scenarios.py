#!/usr/bin/env python3
print("0 passed, 0 failed")
