%
(Drilling pattern: 3 x 4 holes, 10 mm pitch, 5 mm deep, pecking once)
(Work zero: front left corner of the plate, top face - G54)
G90 G21 G17 G54
S6000 M3
G0 Z5
(row 1)
G0 X10 Y10
G1 Z-2.5 F150
G0 Z1
G1 Z-5 F150
G0 Z5
G0 X20
G1 Z-2.5 F150
G0 Z1
G1 Z-5
G0 Z5
G0 X30
G1 Z-2.5
G0 Z1
G1 Z-5
G0 Z5
G0 X40
G1 Z-2.5
G0 Z1
G1 Z-5
G0 Z5
(row 2: dwell at the bottom for a clean floor)
G0 X40 Y20
G1 Z-5 F150
G4 P0.5
G0 Z5
G0 X30
G1 Z-5
G4 P0.5
G0 Z5
G0 X20
G1 Z-5
G4 P0.5
G0 Z5
G0 X10
G1 Z-5
G4 P0.5
G0 Z5
(row 3: check the first hole before going on)
G0 X10 Y30
G1 Z-5 F150
G0 Z5
M0 (inspect the first hole of row 3)
G0 X20
G1 Z-5
G0 Z5
G0 X30
G1 Z-5
G0 Z5
G0 X40
G1 Z-5
G0 Z5
G0 X0 Y0 Z20
M5
M30
