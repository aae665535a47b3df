%
(Drilling pattern: 3 x 4 holes, 10 mm pitch, 5 mm deep)
(The holes are drilled by the G81 cycle in the macro folder, G81.txt)
(Work zero: front left corner of the plate, top face - G54)
G90 G21 G17 G54
S6000 M3
G0 Z5
(row 1)
G81 X10 Y10 Z-5 R1 F150
X20
X30
X40
(row 2, right to left)
Y20
X30
X20
X10
G80
(check the first hole of row 3 before going on)
G0 Z5
M0 (inspect the holes of rows 1 and 2)
G81 X10 Y30 Z-5 R1 F150
X20
X30
X40
G80
G0 Z20
G0 X0 Y0
M5
M30
