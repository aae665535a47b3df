IF !(#I3=1&#O2=0) | #5<=3 THEN
UNTIL #1<>2 & #N[3+4]=1
(multi
line) X1
