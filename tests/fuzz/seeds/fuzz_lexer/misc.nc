L1 "text \n esc"
name_1.a-b "open
L12 X1
€ÿ G0
A
B