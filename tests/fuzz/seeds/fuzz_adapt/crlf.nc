g0 x1
y 2 ;c
G4 P1Z-1
